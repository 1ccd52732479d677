// Helpers shared by the scene's command handlers (not for other subsystems).
#pragma once

#include "scene/actions_internal.h"

#include "script/commands.h"

#include <memory>
#include <string>

namespace kestrune::scene::commands {

// Sizes a script may ask for (colour planes, surfaces, frames): 1 to this per side.
inline constexpr std::int64_t k_max_script_side = 8192;

// Owner key, prefix, creating text, path, priority and position words of a creating call;
// `first_position` is the index of the x argument (-1: none, placed at 0, 0).
CreateArgs create_args(const script::CommandCall& call, int priority_index, int first_position);

// Checks a size argument pair; on failure reports the problem at the statement's line.
bool size_ok(script::CommandCall& call, std::int64_t w, std::int64_t h, const char* what);
void problem(script::CommandCall& call, const std::string& message);

// The image a source argument names: an object's image (path relative to the block's
// prefix, or an alias), else an image file, else the object again. Null when neither; the
// missing or unreadable image is then reported at the statement's line.
std::shared_ptr<PixelImage> source_image(script::CommandCall& call, const std::string& source,
                                         bool note_gallery = true);
// The colour argument i; a text in no colour notation is reported (and read all the same).
script::Colour colour_arg(script::CommandCall& call, std::size_t i);
// A w x h image of one colour (kind 5).
std::shared_ptr<PixelImage> colour_image(std::int32_t w, std::int32_t h, std::uint32_t rgb,
                                         std::uint8_t alpha);
std::unique_ptr<Drawable> drawable_for(const std::shared_ptr<PixelImage>& image);

// Holds rendering while an anonymous group's objects are created, so they appear together.
void hold_for_group(script::CommandCall& call);

// Runs fn on every object the call's path names, under the scene lock.
int for_each_object(script::CommandCall& call, const std::function<int(SceneObject&)>& fn,
                    ApplyOptions options = {});

bool is_true_word(const std::string& s);
std::int32_t int_arg(const script::CommandCall& call, std::size_t i);

void register_object_commands();
void register_image_commands();
void register_action_commands();
void register_wait_commands();
void register_choice_commands();
void register_scrollbar_commands();
void register_window_commands();

} // namespace kestrune::scene::commands
