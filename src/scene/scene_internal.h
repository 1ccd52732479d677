// What the scene's own files share and nobody else needs.
#pragma once

#include "scene/scene.h"

#include "platform/sync.h"

#include <algorithm>
#include <cstdint>
#include <list>

namespace kestrune::scene::detail {

// A coordinate worked out in 64 bits, kept within the range of a stored one.
inline std::int32_t saturate32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

struct SceneOwner {
    std::int32_t key = -1;
    std::int32_t count = 0;
    SceneObject root;
};

struct DrawList {
    std::vector<SceneObject*> entries;
    bool sorted = true;
    std::size_t occlusion_start = 0;
    std::uint64_t sequence = 0;
};

struct Store {
    std::list<std::unique_ptr<SceneOwner>> owners;
    DrawList lists[2]; // main, backlog
    platform::Event delete_gate{true, true};
    platform::Event replace_gate{true, true};
    platform::Event wait_gate{true, true};
    std::vector<void (*)(SceneObject&)> free_listeners;
    bool ready = false;
};

Store& store();
DrawList& current_draw_list();
SceneOwner* find_owner(std::int32_t key);
std::uint32_t name_hash(std::string_view name);
// Lock held: frees one object and its children (no lock test).
void free_object(SceneObject& o);
// Lock held: deletes one object unless it is locked (children regardless). 1 when deleted.
int delete_one(SceneObject& o);
// Waits for a gate: 1500 ms, then wakes every script process and waits 1500 ms more.
void wait_gate(platform::Event& gate);
// Objects whose process blocks must be stopped once the lock is given back.
void stop_pending_processes();

// Compose step: draws the objects in order within `area` (the compose clip), clearing the
// area first when `clear` is set. Lock held.
void draw_objects(const std::vector<SceneObject*>& order, const ClipRect& area, bool clear);

// Render thread side, used by the store.
// The time of the render cycle being stepped (the actions' now); the clock when called
// outside the update step.
std::uint32_t cycle_time();
void start_render_thread();
void stop_render_thread();

// Actions.
void register_action_operations();
void register_kind_operations();
// Draws the trail's afterimages and the object; used by the standard draw.
int draw_with_trail(SceneObject& o, FrameBuffer& frame, const ClipRect& clip);
int default_render(SceneObject& o, FrameBuffer& frame, const ClipRect& clip);
// Mask layer redraw of a mask object (with its parent's mask, if any).
void redraw_mask(SceneObject& o);
void call_layer_hook(SceneObject& o);

// The express-skip animation, on the render thread with the scene lock held: one step of
// the update (ends it when its end time came), whether it is shown, whether its current
// frame still has to be composed, and the drawing of that frame over the whole screen.
void step_express_skip(std::uint32_t now);
bool express_skip_shown();
bool express_frame_pending();
void draw_express_skip(FrameBuffer& frame);
void release_express_skip(); // at shutdown; takes the lock

// One pass of the 3 x 3 average over the pixels not on the border (per channel, alpha
// too, in place, row by row from the top); copy_border then fills the border rows and
// columns from their inner neighbours. The shade filters and the bubble image use them.
void box_pass(PixelImage& img);
void copy_border(PixelImage& img);

// Text erase setting ($SYSTEM_text_erase) as the draw sees it.
bool text_erased();

} // namespace kestrune::scene::detail
