// The popup menu of the right button (and of the M key): hide the text, auto, skip, save,
// load, backlog, full screen, settings, back to the title and quit.
#include "ui/boxes.h"

#include "frame/engine.h"
#include "persist/settings.h"
#include "script/commands.h"
#include "script/context.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "ui/input_hooks.h"
#include "ui/window_input.h"

#include <algorithm>
#include <cctype>

namespace kestrune::ui {

namespace {

constexpr std::int32_t k_item_height = 24;

// Ids of the menu's items, as the game's window code numbers them.
enum : std::int32_t {
    k_cancel = 32844,
    k_hide_text = 32833,
    k_auto = 32834,
    k_skip = 32835,
    k_save = 32837,
    k_load = 32838,
    k_backlog = 32839,
    k_full_screen = 32840,
    k_settings = 32841,
    k_title = 32842,
    k_quit = 32843,
};

struct ItemInfo {
    std::int32_t id;
    const char* text;
    const char* shortcut;
    char letter; // the letter key that picks it inside the menu, and that it posts
};

constexpr ItemInfo k_items[] = {
    {k_cancel, "撤销", "", 0},          {k_hide_text, "隐藏文字", "Space", 0},
    {k_auto, "自动显示文字", "A", 'A'}, {k_skip, "快进", "Ctrl", 0},
    {k_save, "保存书签", "S", 'S'},     {k_load, "读取书签", "L", 'L'},
    {k_backlog, "显示履历", "B", 'B'},  {k_full_screen, "全屏游戏", "F", 'F'},
    {k_settings, "游戏设置", "C", 'C'}, {k_title, "返回标题界面", "T", 'T'},
    {k_quit, "结束游戏", "ESC", 0},
};

// What "$SYSTEM_menu_lock" forbids.
bool lockable(std::int32_t id) {
    return id != k_cancel && id != k_full_screen && id != k_quit;
}

bool has_shortcut(char letter) {
    return !script::shortcut_script(static_cast<unsigned char>(letter)).empty() ||
           !script::shortcut_script(
                static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(letter))))
                .empty();
}

// The script a settings entry names for an item without a shortcut of its own.
std::string settings_script(std::int32_t id) {
    const persist::Settings& s = persist::settings();
    if (id == k_save) return s.script_save;
    if (id == k_load) return s.script_load;
    if (id == k_settings) return s.script_config;
    return {};
}

// Items that only a game's own scripts can carry out are greyed while it has none.
bool available(const ItemInfo& item) {
    switch (item.id) {
    case k_save:
    case k_load:
        return has_shortcut(item.letter) || !settings_script(item.id).empty();
    case k_backlog:
        return has_shortcut('B') || input_hooks().open_backlog != nullptr;
    case k_title:
        return has_shortcut('T');
    default:
        return true;
    }
}

void post_letter(char letter) {
    post_key({Key::letter, letter}, true);
}

// A picked item does what its key would, or, where the game set no script for the key,
// what the engine itself can do.
void carry_out(std::int32_t id) {
    switch (id) {
    case k_hide_text:
        post_key({Key::space, 0}, true);
        break;
    case k_auto:
        if (has_shortcut('A')) {
            post_letter('A');
        } else {
            script::var_set_number("$SYSTEM_text_auto",
                                   script::var_number("$SYSTEM_text_auto") != 0 ? 0 : 1);
            engine::set_auto_mode(script::var_number("$SYSTEM_text_auto") != 0);
            if (input_hooks().apply_auto_setting) input_hooks().apply_auto_setting();
        }
        break;
    case k_skip:
        if (normal_play() && script::setting_number("skip_lock") == 0) engine::set_skip_mode(true);
        break;
    case k_save:
    case k_load:
    case k_settings:
        if (has_shortcut(id == k_save ? 'S' : id == k_load ? 'L' : 'C')) {
            post_letter(id == k_save ? 'S' : id == k_load ? 'L' : 'C');
        } else if (!settings_script(id).empty()) {
            script::start_system_script(settings_script(id));
        } else if (id == k_settings) {
            open_settings_dialog();
        }
        break;
    case k_backlog:
        if (has_shortcut('B'))
            post_letter('B');
        else if (input_hooks().open_backlog)
            input_hooks().open_backlog();
        break;
    case k_full_screen:
        if (has_shortcut('F')) {
            post_letter('F');
        } else {
            const bool full = script::var_number("#SYSTEM_window_full") == 1;
            if (full || script::setting_number("window_full_lock") == 0)
                script::var_set_number("#SYSTEM_window_full", full ? 0 : 1);
        }
        break;
    case k_title:
        post_letter('T');
        break;
    case k_quit:
        post_key({Key::esc, 0}, true);
        break;
    default:
        break;
    }
}

bool g_menu_open = false; // main thread

} // namespace

void run_menu_command(std::int32_t id) {
    carry_out(id);
}

bool menu_command_available(std::int32_t id) {
    for (const ItemInfo& info : k_items)
        if (info.id == id) return available(info);
    return false;
}

void open_popup_menu(std::int32_t x, std::int32_t y, bool locked) {
    if (overlay_open()) return;
    Overlay menu;
    menu.kind = OverlayKind::menu;
    std::int32_t width = 160;
    for (const ItemInfo& info : k_items) {
        Widget item;
        item.kind = WidgetKind::item;
        item.id = info.id;
        item.text = utf8_to_u32(info.text);
        item.shortcut = utf8_to_u32(info.shortcut);
        item.letter = info.letter;
        item.enabled = !(locked && lockable(info.id)) && available(info);
        width = std::max(width, text_width(item.text) + text_width(item.shortcut) + 56);
        menu.widgets.push_back(std::move(item));
    }
    const auto count = static_cast<std::int32_t>(menu.widgets.size());
    menu.panel = {std::clamp(x, 0, 1024 - width - 4), 0, width + 4, count * k_item_height + 8};
    menu.panel.y = std::clamp(y, 0, 576 - menu.panel.h);
    for (std::int32_t i = 0; i < count; ++i)
        menu.widgets[static_cast<std::size_t>(i)].rect = {
            menu.panel.x + 2, menu.panel.y + 4 + i * k_item_height, width, k_item_height};
    menu.has_cancel = true;
    menu.cancel_id = k_cancel;
    menu.on_pick = [](Overlay&, std::int32_t) { return true; };
    menu.on_close = [](std::int32_t id) {
        g_menu_open = false;
        carry_out(id);
    };
    menu.focus_first();
    g_menu_open = true;
    open_overlay(std::move(menu));
}

bool popup_menu_open() {
    return g_menu_open && overlay_open();
}

} // namespace kestrune::ui
