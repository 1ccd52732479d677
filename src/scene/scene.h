// The scene: the object store (one tree of named objects per script process, two draw
// lists), the object kinds, the actions and the render thread that steps them and composes
// the frame.
//
// Threading contract:
//  - Every field of a SceneObject, the owner trees and the draw lists are read and written
//    only under the scene lock (engine::scene_lock, a recursive lock). Store operations
//    below that say "locks" take it themselves; those that say "lock held" expect the
//    caller to hold it.
//  - The render thread takes the scene lock for each update-and-compose cycle. Script
//    threads pause it (render_pause) while they run a batch of statements and resume it
//    (render_resume) at Draw and at every wait, so a batch appears in one frame.
//  - render_pause / render_resume take the lock themselves: never call them with it held.
//  - The update region has its own small lock (mark_changed may be called from any thread).
//
// Other subsystems add object kinds by filling a KindOps table and hanging a KindData on
// an object made with create_kind_object(): the text layout makes its text objects so.
#pragma once

#include "scene/frame_buffer.h"
#include "scene/raster.h"
#include "storage/pixel_image.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::script {
struct ScriptBlock;
}

namespace kestrune::scene {

// ---- operation codes (kept by saved scenes and used by the waits) ----------------------
inline constexpr std::uint16_t k_op_none = 0;
inline constexpr std::uint16_t k_op_idle = 0x1001;
inline constexpr std::uint16_t k_op_hidden = 0x1002;
inline constexpr std::uint16_t k_op_disabled = 0x1003;
inline constexpr std::uint16_t k_op_text_finished = 0x1004;
inline constexpr std::uint16_t k_op_draw = 0x2001;
inline constexpr std::uint16_t k_op_text_tick = 0x2002;
inline constexpr std::uint16_t k_op_mask_draw = 0x2003;
inline constexpr std::uint16_t k_op_cube_draw = 0x2004;
inline constexpr std::uint16_t k_op_move = 0x3001;
inline constexpr std::uint16_t k_op_fade = 0x3002;
inline constexpr std::uint16_t k_op_zoom = 0x3003;
inline constexpr std::uint16_t k_op_rotate = 0x3004;
inline constexpr std::uint16_t k_op_shake = 0x3005;
inline constexpr std::uint16_t k_op_transition = 0x3006;
inline constexpr std::uint16_t k_op_prepare = 0x4001;
inline constexpr std::uint16_t k_op_movie_frame = 0x6001;

// Image kinds made by the scene.
inline constexpr std::int32_t k_image_colour = 5;
inline constexpr std::int32_t k_image_surface = 8;
inline constexpr std::int32_t k_image_frame = 258;
inline constexpr std::int32_t k_image_composite = 276;
inline constexpr std::int32_t k_image_cleared_surface = 277;

struct SceneObject;
using SlotFn = int (*)(SceneObject&);

enum SlotIndex : int {
    k_slot_fade,
    k_slot_zoom,
    k_slot_move,
    k_slot_rotate,
    k_slot_shake,
    k_slot_transition,
    k_slot_kind_update,
    k_slot_kind_tick,
    k_slot_draw,
    k_slot_prepare,
    k_slot_count
};

// One per-frame operation: its code and the function. A slot always holds a function.
struct Slot {
    std::uint16_t code = k_op_idle;
    SlotFn fn = nullptr;
    // Idle, hidden, disabled and text-finished count as parked.
    bool parked() const {
        return code == k_op_idle || code == k_op_hidden || code == k_op_disabled ||
               code == k_op_text_finished;
    }
};

// Operations by code, so a restored scene (and other subsystems) can fill a slot from a
// code. The parked ones and the scene's own are registered at start.
void register_operation(std::uint16_t code, SlotFn fn);
SlotFn operation_for(std::uint16_t code);
void set_slot(SceneObject& o, SlotIndex slot, std::uint16_t code);

// ---- action states -------------------------------------------------------------------------
// Progress is 16.16 frames of the frame interval setting; the frame index is progress >> 16.
// Progress stops at k_max_action_progress, so no frame past k_last_action_frame is ever
// looked up: an action longer than that holds its last reachable frame.
inline constexpr std::uint32_t k_max_action_progress = 0x7FFF0000;
inline constexpr std::int32_t k_last_action_frame = std::int32_t(k_max_action_progress >> 16);
struct ActionCore {
    bool skip_next = false;
    bool started = false;
    std::string tempo;
    std::int32_t time_ms = 0;
    std::uint32_t progress = 0;
    std::int32_t step = 0;
    std::int32_t steps = 0;
    std::array<std::vector<double>, 3> tables; // one easing table per axis
};

struct MoveState : ActionCore {
    std::array<std::int32_t, 3> start{}, target{};
    std::vector<std::array<std::int32_t, 3>> path; // points followed, the target last
    std::string bezier_points;                     // the points text of a BezierMove
};
struct FadeState : ActionCore {
    std::uint8_t start = 0, target = 0;
};
struct ZoomState : ActionCore {
    std::array<std::int32_t, 2> start{}, target{};
};
struct RotateState : ActionCore {
    std::array<std::int32_t, 3> start{}, target{};
};
struct ShakeState : ActionCore {
    std::int32_t start_x = 0, start_y = 0, end_x = 0, end_y = 0;
    std::int32_t rate = 0;
    double interval_ms = 0;
    std::int32_t sign = 1;
    std::uint32_t last_jolt = 0;
    std::int32_t dx = 0, dy = 0;
};
struct TransitionState : ActionCore {
    std::int32_t from = 0, to = 0; // thresholds 0..255
    double softness = 1;           // 255 / softness argument
    std::string rule_name;
    std::vector<std::uint8_t> map; // 1024 x 576 rule values
    std::array<std::uint8_t, 256> table{};
    bool finished = false;
};

// The afterimage trail of SetBlur. Index 0 of the stored geometries is the object itself.
inline constexpr int k_max_afterimages = 128;
struct TrailState {
    bool active = false;
    bool draw_before = false;
    std::int32_t count = 0, weight = 1000;
    std::int32_t interval_ms = 0;
    std::array<double, 3> intervals{}; // move, rotate, zoom (shrink as they close up)
    std::array<std::uint32_t, 3> last_update{};
    std::array<bool, 3> tracking{};
    std::vector<Drawable> images; // count afterimages: geometry and position
};

// ---- resource records --------------------------------------------------------------------
struct CameraRecord {
    SceneObject* owner = nullptr;
    bool changed = false;
    std::int32_t start_x = 0, start_y = 0, start_z = 0;
    std::int32_t x = 0, y = 0, z = 0;
    std::int32_t angle_x = 0, angle_y = 0, angle_z = 0;
    CameraView view() const;
};

struct MaskRecord {
    SceneObject* owner = nullptr;
    std::vector<std::uint8_t> layer; // 1024 x 576 BGRA
    std::unique_ptr<Drawable> drawable;
    std::shared_ptr<PixelImage> image;
    bool stencil = false;
    bool changed = true;
    MaskLayer view() const { return MaskLayer{layer.data(), k_screen_width * 4}; }
};

struct CubeRecord {
    SceneObject* owner = nullptr;
    bool changed = true;
    double fov = 60;
    std::array<std::int32_t, 3> position{0, 0, 0};
    std::array<std::int32_t, 3> angles{0, 0, 0};
    std::array<std::int32_t, 3> scale{1000, 1000, 1000};
    std::array<std::shared_ptr<PixelImage>, 6> faces;
    std::shared_ptr<PixelImage> picture; // 1024 x 576, what the object shows
};

// Kind-specific data (text windows, backlog, ...). Kinds derive from it.
struct KindData {
    virtual ~KindData() = default;
};

// The record of a named image effect (filters, lens, distortions, particles); each effect
// kind derives its own from it (see effects.h).
struct EffectData {
    virtual ~EffectData() = default;
};

// A kind's own operations; each may be null (then the default applies).
struct KindOps {
    const char* name = "";
    // Request words of the kind; return -1 to pass the word on to the default handler.
    int (*request)(SceneObject& o, std::string_view word) = nullptr;
    // Draws the object (the standard draw calls it when set); returns non-zero when drawn.
    int (*draw)(SceneObject& o, FrameBuffer& frame, const ClipRect& clip) = nullptr;
    // Busy test of the waits beyond the slots (a playing sound, a running text).
    bool (*busy)(const SceneObject& o) = nullptr;
    // Releases what the kind holds outside its KindData (called under the lock).
    void (*release)(SceneObject& o) = nullptr;
    // SetScrollbar with this object as target: binds the scroll bar `bar` to it (the
    // backlog window takes over the bar's operations). False when the kind has no use for it.
    bool (*attach_scrollbar)(SceneObject& o, SceneObject& bar) = nullptr;
};

// ---- scroll bars (scrollbars.cpp) -------------------------------------------------------------
// A bar's seven operations; each returns 1 when it moved or took the input. A backlog window
// replaces them all when a bar is attached to it. Lock held.
struct ScrollOps {
    int (*step_back)(SceneObject& bar) = nullptr;
    int (*step_forward)(SceneObject& bar) = nullptr;
    int (*page_back)(SceneObject& bar) = nullptr;
    int (*page_forward)(SceneObject& bar) = nullptr;
    int (*to_last)(SceneObject& bar) = nullptr;
    int (*to_first)(SceneObject& bar) = nullptr;
    // The pointer at (x, y) with the button held or not; 1 when the bar took it.
    int (*pointer)(SceneObject& bar, bool held, std::int32_t x, std::int32_t y) = nullptr;
};

inline constexpr std::size_t k_max_track_points = 16000;

// The record of a scroll bar: the thumb (the object's own drawable) moves along the points
// of a straight track.
struct ScrollBar {
    bool horizontal = false;
    std::int32_t hover = 0; // 16 while the pointer is over the thumb
    bool active = false;    // steps do nothing until SetScrollbar or a request activates it
    bool dragging = false;
    std::int32_t box_left = 0, box_top = 0, box_right = 0, box_bottom = 0; // of the track ends
    std::int32_t last_index = 0; // points - 1 (0 for a track of one point)
    std::int32_t index = 0;
    std::int32_t step = 1;
    std::vector<std::array<std::int32_t, 2>> points;
    ScrollOps ops;
};

// Puts the thumb on the point `index` (clamped to the track), marking old and new area and
// keeping the object's position with the thumb. Lock held.
void place_thumb(SceneObject& bar, std::int32_t index);
// The thumb's rectangle on the screen. Lock held.
ClipRect thumb_rect(const SceneObject& bar);
// Sets the bar's hover state: 16 with the hand cursor (the bar becomes the hovered
// choice), or 0 with the arrow when it was the hovered one. Lock held.
void set_bar_hover(SceneObject& bar, bool over);

// ---- choices (choices.cpp) --------------------------------------------------------------------
// The states of a choice container.
inline constexpr std::int32_t k_choice_over = 16;
inline constexpr std::int32_t k_choice_left = 256;
inline constexpr std::int32_t k_choice_pressed = 4096;
inline constexpr std::int32_t k_choice_chosen = 65536;
// The cursor shape that choices and scroll bars ask for (the hand over them). Any thread.
void set_cursor_hand(bool hand);
bool cursor_hand();
// Every choice in the over state of the current list leaves it; the cursor becomes the
// arrow and no choice is hovered any more. Locks.
void end_hover();
// The hovered choice (or scroll bar), shared between the window thread and script threads.
SceneObject* hovered_choice();
void set_hovered_choice(SceneObject* o);

// ---- the object ------------------------------------------------------------------------
struct SceneObject {
    std::string name;    // last path segment; "ROOT" for a process's root
    std::string creator; // object prefix of the process that created it
    std::string alias;
    std::string creating_command; // canonical text of the creating statement
    // Flags.
    bool excluded = false, locked = false, shown = false, drawn = false, disused = false;
    bool hideable = false, no_actions = false, clickable = false, select_member = false;
    bool restorable = true, skip_next_move = false;
    bool inherit = true;
    bool busy_marker = false; // set by the waits' busy test
    std::uint32_t name_hash = 0;
    std::int32_t priority = 0;
    std::uint64_t sequence = 0;
    std::uint32_t last_tick = 0;
    std::int32_t owner_key = -1;
    std::int32_t region_top_adjust = 0, region_bottom_adjust = 0;
    std::int32_t offset_x = 0, offset_y = 0, offset_z = 0; // from an inheriting parent
    std::int32_t x = 0, y = 0, z = 0;
    // Restore identities (saved scenes link objects again through them).
    std::uint32_t saved_identity = 0;
    std::array<std::uint32_t, 4> saved_focus{};
    std::uint32_t saved_shared_image = 0;

    // Actions.
    std::unique_ptr<MoveState> move;
    std::unique_ptr<FadeState> fade;
    std::unique_ptr<ZoomState> zoom;
    std::unique_ptr<RotateState> rotate;
    std::unique_ptr<ShakeState> shake;
    std::unique_ptr<TransitionState> transition;
    std::unique_ptr<TrailState> trail;

    // Resources. Shared records are held by shared pointers, so a child that inherited a
    // mask or camera never reaches freed memory; the owner field says who made it.
    std::unique_ptr<Drawable> drawable;
    std::shared_ptr<PixelImage> image_ref;    // keeps the drawable's image alive
    std::shared_ptr<PixelImage> source_image; // holders (LoadImage ...)
    std::shared_ptr<PixelImage> unfiltered;   // copy kept by SetShade / SetTone
    std::int32_t shade_key = 0, tone_key = 0;
    // SetComposite drew into the filtered picture: filtering the unfiltered copy again would
    // not give the picture shown, so a save keeps the shown one as well.
    bool composed_over_filter = false;
    std::shared_ptr<MaskRecord> mask;
    std::shared_ptr<CameraRecord> camera;
    std::shared_ptr<CubeRecord> cube;
    std::shared_ptr<PixelImage> surface;    // CreateSurface: the image others draw into
    std::shared_ptr<PixelImage> target_ref; // SetSurface: keeps the surface drawn into alive
    script::ScriptBlock* process = nullptr;
    const KindOps* kind = nullptr;
    std::unique_ptr<KindData> kind_data;
    bool has_layer_hook = false; // masks redraw their layer instead of drawing

    // Choice parameters (used by the choices).
    bool choice = false;
    std::int32_t choice_state = 0; // 0 idle, or one of the k_choice_ states
    std::array<std::int32_t, 6> kind_params{-1, -1, -1, -1, -1, -1};
    std::unique_ptr<ScrollBar> scrollbar; // CreateScrollbar only
    // CreateWindow: the rectangle that everything created under the window is clipped to.
    std::unique_ptr<ClipRect> window_clip;

    std::array<Slot, k_slot_count> slots{};
    // Draws the drawable (default: the rasteriser; image effects replace it).
    int (*render)(SceneObject& o, FrameBuffer& frame, const ClipRect& clip) = nullptr;

    // The named image effect running on the object, stepped once per cycle after the
    // actions. Declared after the drawable so that it goes first when the object is freed.
    std::string effect_name;
    std::unique_ptr<EffectData> effect;

    // Tree.
    SceneObject* parent = nullptr;
    std::vector<std::unique_ptr<SceneObject>> children; // creation order
    std::array<SceneObject*, 4> focus{};                // up, down, left, right

    const PixelImage* image() const; // the drawable's image, else the source image
};

// ---- store (scene_store.cpp, object_paths.cpp) -----------------------------------------------
// Initialises the store and starts the render thread (paused). shutdown_scene() stops it
// and frees every object.
bool init_scene(bool start_thread = true);
void shutdown_scene();
bool scene_ready();

bool add_owner(std::int32_t key);    // locks
void remove_owner(std::int32_t key); // locks: unlocks and deletes every object, drops the tree
bool owner_exists(std::int32_t key);

// Lock held. Makes the object of `path` in the owner's tree (replacing an existing one),
// appended to the current draw list. Null (with nothing changed) on a bad path, an unknown
// parent, a locked object in the way or owner -1.
SceneObject* create_object(std::int32_t owner_key, std::string_view path);

// What an operation applied to a path does.
struct ApplyOptions {
    bool main_list = false;     // search the main list whatever the state
    bool into_children = false; // also run on the children of matched objects
    bool no_children = false;   // never run on the children (alias, waits, requests)
    bool stop_at_first = false; // waits: stop at the first object the operation accepts
};
// Lock held. Runs fn on every object that `path` names in the owner's tree (or through an
// alias, in any tree). Returns 1 when any call returned non-zero.
int apply(std::int32_t owner_key, std::string_view path, const std::function<int(SceneObject&)>& fn,
          ApplyOptions options = {});
// Lock held. First object of a path without wildcards, or null.
SceneObject* find_object(std::int32_t owner_key, std::string_view path);
// Lock held. The image of the object named: in the owner's tree (or by alias), or with
// owner -1 in every tree in owner order.
std::shared_ptr<PixelImage> find_image(std::string_view path, std::int32_t owner_key);

int delete_objects(std::int32_t owner_key, std::string_view path); // locks (and the gates)
// Sends a request word to every object named (locks). `unknown`, when given, is set when
// the path named objects and none of their handlers knows the word.
int request(std::int32_t owner_key, std::string_view path, std::string_view text,
            bool* unknown = nullptr);
int set_alias(std::int32_t owner_key, std::string_view alias, std::string_view path); // locks
// Position of the first object named, searching every tree. Locks.
bool position_of(std::string_view path, std::int32_t owner_key, std::int32_t& x, std::int32_t& y);
void mark_excluded(std::int32_t owner_key, std::string_view path); // locks

// The draw list that is current (the backlog list in engine state 400). Lock held.
std::vector<SceneObject*>& current_list();
std::vector<SceneObject*>& main_list();
void sort_list(std::vector<SceneObject*>& list, bool force = false);
void note_priority_changed(); // clears the current list's sorted flag
std::size_t object_count();   // objects in both lists

// The default request handler (Lock, UnLock, Disused, ...): 1 when it acted, 0 for a
// known word that had nothing to do, -1 for a word it does not know.
int default_request(SceneObject& o, std::string_view word);
// The request handler of the objects that draw an image (after their kind's own words):
// the blend modes ("NormalRender", "AddRender", "SubRender", "OverlayRender", "MulRender"),
// "Smoothing", "UnSmoothing", "Erase" and "Enter". 1 when done, 0 when refused (smoothing
// a colour plane), -1 for any other word.
int graphic_request(SceneObject& o, std::string_view word);
// A request text names `word` when it is the word alone or the word and a blank or tab.
bool is_request_word(std::string_view text, std::string_view word);

// Called for every object about to be freed (under the lock), so that other subsystems
// can drop references to it (a hovered choice, a focus link, a scroll bar's target).
void add_free_listener(void (*fn)(SceneObject& o));

// Delete, wait and replace gates, for the auto-dispose of the render thread.
bool gates_open();

// ---- kinds (kinds_*.cpp) ---------------------------------------------------------------------
// Common creation of a graphic kind (lock held): creates the object, attaches the drawable,
// sets the priority, resolves the position words, projects, fills the slots and prepares.
// Null and nothing left behind on failure.
struct CreateArgs {
    std::int32_t owner_key = -1;
    std::string prefix;
    std::string command; // canonical creating statement
    std::string path;
    std::int32_t priority = 0;
    std::string x, y;
    // Told why the object could not be made when an argument was at fault (may be empty).
    std::function<void(const std::string&)> report;
};
SceneObject* create_kind_object(const CreateArgs& args, std::unique_ptr<Drawable> drawable,
                                std::shared_ptr<PixelImage> image_ref, const KindOps* kind);
// Resolves a position word against the object's parent (see kinds_basic.cpp). False for
// a word that is not a position.
bool resolve_position(const SceneObject& o, std::string_view word, bool is_x, std::int32_t& out);
// Re-projects the object's drawable (through its camera) and marks old and new area.
void reproject(SceneObject& o);
void mark_object(const SceneObject& o);
int standard_draw(SceneObject& o);

// ---- movie sources (kinds_layers.cpp; the hook is set by the movie subsystem) -------------
// A mask source that is neither an object's image nor an image file may name a movie. The
// hook opens it: the image its frames land in, and the kind data and kind that play it.
// False with `error` set when it is no movie that can be played.
struct MovieSource {
    std::shared_ptr<PixelImage> image;
    std::unique_ptr<KindData> data;
    const KindOps* kind = nullptr;
};
using MovieSourceHook = bool (*)(const std::string& source, MovieSource& out, std::string& error);
void set_movie_source_hook(MovieSourceHook hook);
// Lock held: redraws the layer of a mask object from its image (a movie mask's new frame).
void refresh_mask(SceneObject& o);

// ---- render thread (render_thread.cpp) ------------------------------------------------------
FrameBuffer& frame_buffer();
void mark_changed(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h);
void mark_all_changed();
bool region_empty();
void render_pause();  // hold: script threads run a batch
void render_resume(); // release: commit the batch, draw, let the thread run
bool render_paused();
bool render_running();
void commit_draw_list();    // lock held: show every object, start pending actions
void reset_object_clocks(); // lock held
void draw_now();            // compose and present one full frame here
// The whole scene composed with `cover` drawn over it (a load's loading image, at its
// alpha; null: nothing), presented here in any engine state.
void present_with_cover(const Drawable* cover);
void set_frozen(bool frozen);
// Frame interval setting (0..12) and its table.
std::int32_t interval_setting();
void set_interval_setting(std::int32_t setting);
std::int32_t interval_ms(std::int32_t setting);
std::int32_t frames_per_second(std::int32_t setting);
double current_speed();
// Draw target of the compose step (valid only while composing).
const ClipRect& compose_clip();
// Test support: one update-and-compose cycle on the calling thread.
void run_cycle_for_tests();
// Something drawn over the composed objects that is no scene object (the text icon).
// `step` runs once per update step, before the objects are stepped; `draw` runs after the
// objects of every composed area (also in draw_now), clipped to that area. Both run with
// the scene lock held; either may be null. Set at start-up, before the render thread runs.
struct OverlayHooks {
    void (*step)() = nullptr;
    void (*draw)(FrameBuffer& frame, const ClipRect& clip) = nullptr;
};
void set_overlay_hooks(const OverlayHooks& hooks);
// Something outside the scene that moves with the picture's clock (the menu bar's
// animations): called once per update step on the render thread, scene lock held. Added
// at start-up, before the render thread runs.
void add_cycle_hook(void (*hook)());

// ---- express skip (express_skip.cpp) ---------------------------------------------------------
// Full-screen images shown in turn instead of the scene while skip mode runs (the text
// display starts and ends it with skip mode). Each takes the scene lock.
inline constexpr std::size_t k_express_skip_slots = 64;
// Replaces the images (the first 64 that are usable); an empty list ends the animation.
void start_express_skip(std::vector<std::shared_ptr<PixelImage>> images);
// Ends the animation once the clock reaches `tick`, at once when that time has passed.
void end_express_skip_at(std::uint32_t tick);
bool express_skip_running();

// ---- actions (actions*.cpp) ------------------------------------------------------------------
std::int32_t step_count(std::int32_t time_ms, std::int32_t setting);
std::int32_t tempo_key(std::string_view tempo);
// The easing table of `steps` frames: entry i is the eased share at i / steps. Entries past
// the last frame an action can reach are not made (a Fade of two billion milliseconds would
// otherwise fill a gigabyte), so the table holds min(steps, k_last_action_frame + 1) + 1.
void fill_easing(std::vector<double>& table, double amplitude, std::int32_t steps,
                 std::string_view tempo);
// Adds this cycle's time to an action's progress.
void advance(ActionCore& a, const SceneObject& o, std::uint32_t now);
void release_actions(SceneObject& o);
// Busy test: with a code, whether the slot holding it is busy; with 0, any activity.
bool object_busy(const SceneObject& o, std::uint16_t code);

// ---- wiring (scene_commands*.cpp) ------------------------------------------------------------
// Registers the commands, built-ins, hooks and the start-up and stop work. The start-up
// and stop work is added once; the hooks and commands are installed again on every call.
void register_with_frame();

} // namespace kestrune::scene
