// The engine's boxes and menus built on the overlays: the Message built-in's message
// boxes, the question before quitting, the popup menu of the right button and the
// settings dialog of the VelmorantConfig built-in.
//
// Threading contract: the open_* functions run on the main thread (the window's input);
// the built-ins run on script threads and wait for the main thread's answer.
#pragma once

#include "ui/overlay.h"

#include <cstdint>
#include <string>

namespace kestrune::ui {

// Result codes of a message box, as scripts test them.
inline constexpr std::int32_t k_box_ok = 1, k_box_cancel = 0, k_box_yes = 2, k_box_no = 3,
                              k_box_abort = 4, k_box_retry = 5, k_box_ignore = 6;

enum class BoxButtons { ok, ok_cancel, yes_no, yes_no_cancel, retry_cancel, abort_retry_ignore };

// The button set and icon named by a script ("YESNO", "question", ...; any letter case).
// Unknown or empty words give OK alone and no icon.
BoxButtons box_buttons_of(std::string_view word);
BoxIcon box_icon_of(std::string_view word);

// A message box centred on the picture; on_close gets the result code. Texts are UTF-8;
// '\n' breaks a line, and long lines wrap by character.
Overlay make_message_box(const std::string& caption, const std::string& text, BoxButtons buttons,
                         BoxIcon icon);

// True when nobody can answer an overlay (a headless run without an input file): boxes
// then take their first button at once.
bool no_reader();

// The question before quitting: Yes ends the run, No (or Esc) goes back to the game.
// Without a reader the run ends at once.
void open_quit_question();
bool quit_question_open();

// Items of the popup menu that the menu bar's buttons share.
inline constexpr std::int32_t k_menu_auto = 32834, k_menu_save = 32837, k_menu_load = 32838;
// Does what the menu item does (as if picked), and whether the game can carry it out.
void run_menu_command(std::int32_t id);
bool menu_command_available(std::int32_t id);

// The popup menu at a picture position; `locked` greys what "$SYSTEM_menu_lock" forbids.
void open_popup_menu(std::int32_t x, std::int32_t y, bool locked);
bool popup_menu_open();

// The settings dialog; on_close gets 1 after OK and 2 otherwise.
void open_settings_dialog(std::function<void(std::int32_t)> on_close = nullptr);

// Registers the Message and VelmorantConfig built-ins and the popup menu hook.
void register_boxes();
void register_settings_dialog(); // the VelmorantConfig built-in alone

} // namespace kestrune::ui
