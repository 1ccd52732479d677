// Choice buttons: CreateChoice and its four state groups, the choice test that every `case`
// of a waiting `select` runs (it drives the hover, press and chosen displays), the end of
// the hover, the keyboard focus moves along SetNextFocus links and the cursor shape.
//
// Threading: the choice test runs on script threads, the focus moves on the main thread
// while it handles a key; both work under the scene lock. The hovered choice is read by
// both, so it is an atomic pointer; the free listener clears it under the scene lock.
#include "scene/actions_internal.h"
#include "scene/scene_commands.h"

#include "frame/engine.h"
#include "frame/startup_hooks.h"
#include "platform/window.h"
#include "script/arguments.h"
#include "script/commands.h"
#include "script/context.h"
#include "script/scanner.h"
#include "ui/input_events.h"
#include "ui/input_hooks.h"

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>

namespace kestrune::scene {

namespace {

std::atomic<SceneObject*> g_hovered{nullptr};
std::atomic<bool> g_hand{false};

constexpr const char* k_group_names[4] = {"MouseUsual", "MouseOver", "MouseLeave", "MouseClick"};
enum Group { k_usual, k_over, k_leave, k_click };

SceneObject* group(SceneObject& c, Group g) {
    for (auto& child : c.children)
        if (child->name == k_group_names[g]) return child.get();
    return nullptr;
}

// The members of a group: its children, then the children of its first child.
template <typename Fn> void for_members(SceneObject* g, Fn&& fn) {
    if (!g) return;
    for (auto& child : g->children) fn(*child);
    if (!g->children.empty())
        for (auto& grandchild : g->children.front()->children) fn(*grandchild);
}

// Duration i (1..6) of the choice; -1 picks the default.
std::int32_t duration(const SceneObject& c, int i, std::int32_t fallback) {
    const std::int32_t d = c.kind_params[static_cast<std::size_t>(i - 1)];
    return d >= 0 ? d : fallback;
}

void fade(SceneObject& o, std::int32_t thousandths, std::int32_t ms) {
    if (!o.drawable) return;
    detail::begin_fade(o, static_cast<std::uint8_t>(std::trunc(thousandths * 0.255)), ms, "");
    // A select tests its choices while rendering runs: no later commit would start the fade.
    if (o.fade && !render_paused()) o.fade->started = true;
}

void show(SceneObject& o) {
    if (o.slots[k_slot_draw].code == k_op_hidden) {
        set_slot(o, k_slot_draw, k_op_draw);
        mark_object(o);
    }
}

// A member that is still fading stays visible until its fade has ended.
void hide(SceneObject& o) {
    if (o.slots[k_slot_fade].code == k_op_fade) return;
    if (o.slots[k_slot_draw].code == k_op_draw) {
        set_slot(o, k_slot_draw, k_op_hidden);
        mark_object(o);
    }
}

bool is_sound(const SceneObject& o) {
    return o.kind && o.kind->request && std::strcmp(o.kind->name, "sound") == 0;
}

void stop_sound(SceneObject& o) {
    if (is_sound(o)) o.kind->request(o, "Stop");
}

void restart_sound(SceneObject& o) {
    if (!is_sound(o)) return;
    o.kind->request(o, "Stop");
    o.kind->request(o, "Play");
}

// The process requests of the transitions: "Start" plays a process member; "Stop" also
// stops a sound (movies stop through their kind's own "Stop").
void start_member(SceneObject& o) {
    if (o.process) script::process_request(o.process, "Start");
}

void stop_member(SceneObject& o) {
    if (o.process)
        script::process_request(o.process, "Stop");
    else if (o.kind && o.kind->request && std::strcmp(o.kind->name, "text") != 0)
        o.kind->request(o, "Stop");
}

void over_transition(SceneObject& c) {
    SceneObject* over = group(c, k_over);
    if (!over) return;
    for_members(group(c, k_usual), [&](SceneObject& m) {
        fade(m, 0, duration(c, 2, 150));
        stop_sound(m);
    });
    for_members(over, [&](SceneObject& m) {
        show(m);
        fade(m, 0, 0);
        fade(m, 1000, duration(c, 3, 0));
        restart_sound(m);
        start_member(m);
    });
    for (Group g : {k_leave, k_click})
        for_members(group(c, g), [&](SceneObject& m) {
            fade(m, 0, 0);
            stop_sound(m);
        });
}

void press_transition(SceneObject& c) {
    SceneObject* click = group(c, k_click);
    if (!click) return;
    for_members(group(c, k_usual), [&](SceneObject& m) { fade(m, 0, 0); });
    for_members(group(c, k_over), [&](SceneObject& m) {
        fade(m, 0, 0);
        hide(m);
    });
    for_members(group(c, k_leave), [&](SceneObject& m) {
        fade(m, 0, 0);
        hide(m);
        stop_sound(m);
    });
    for_members(click, [&](SceneObject& m) {
        show(m);
        fade(m, 1000, duration(c, 5, 0));
        restart_sound(m);
        start_member(m);
    });
}

void chosen_transition(SceneObject& c) {
    const bool has_click = group(c, k_click) != nullptr;
    for_members(group(c, k_usual), [&](SceneObject& m) { fade(m, 0, 0); });
    if (has_click)
        for_members(group(c, k_over), [&](SceneObject& m) {
            show(m);
            fade(m, 0, 0);
        });
    for_members(group(c, k_leave), [&](SceneObject& m) {
        show(m);
        fade(m, 0, 0);
    });
}

void leave_transition(SceneObject& c, bool was_pressed) {
    for_members(group(c, k_usual),
                [&](SceneObject& m) { fade(m, 1000, was_pressed ? 0 : duration(c, 1, 150)); });
    for_members(group(c, k_over), [&](SceneObject& m) {
        fade(m, 0, duration(c, 4, 150));
        stop_sound(m);
        stop_member(m);
    });
    for_members(group(c, k_leave), [&](SceneObject& m) {
        show(m);
        fade(m, 0, 0);
        fade(m, 1000, 150);
        restart_sound(m);
        start_member(m);
    });
    for_members(group(c, k_click), [&](SceneObject& m) {
        fade(m, 0, duration(c, 6, 150));
        stop_sound(m);
    });
}

void reset_transition(SceneObject& c) {
    for (Group g : {k_over, k_leave, k_click}) for_members(group(c, g), hide);
}

// Whether the pointer hits a visible pixel of the member: inside its image rectangle (right
// and bottom edges out), inside its target surface when it has one, on a pixel whose alpha
// is not 0. The image is mapped onto its rectangle, so a zoomed image is tested as shown.
bool hits(const SceneObject& m, std::int32_t px, std::int32_t py) {
    if (!m.drawable || !m.drawable->image) return false;
    const Drawable& d = *m.drawable;
    const ClipRect b = screen_bounds(d);
    if (b.empty() || px < b.left || px >= b.right || py < b.top || py >= b.bottom) return false;
    if (d.surface_clip) {
        const ClipRect& s = *d.surface_clip;
        if (px < s.left || px > s.right || py < s.top || py > s.bottom) return false;
    }
    const PixelImage& img = *d.image;
    if (img.empty()) return false;
    const std::int64_t ix = static_cast<std::int64_t>(px - b.left) * img.width / (b.right - b.left);
    const std::int64_t iy = static_cast<std::int64_t>(py - b.top) * img.height / (b.bottom - b.top);
    return img.row(static_cast<std::int32_t>(iy))[ix * 4 + 3] != 0;
}

bool pointer_inside(const SceneObject& o, std::int32_t px, std::int32_t py) {
    if (!o.drawable) return false;
    const ClipRect b = screen_bounds(*o.drawable);
    return px >= b.left && px <= b.right && py >= b.top && py <= b.bottom;
}

void mark_members(SceneObject& c) {
    c.select_member = true;
    if (c.children.empty()) return;
    SceneObject& usual = *c.children.front();
    usual.select_member = true;
    for (auto& child : usual.children) child->select_member = true;
}

// The choice test of one container (lock held). 1 when it has just been chosen.
int test_choice(SceneObject& c, bool held, std::int32_t px, std::int32_t py) {
    SceneObject* expected = nullptr;
    g_hovered.compare_exchange_strong(expected, &c);
    SceneObject* usual = c.children.empty() ? nullptr : c.children.front().get();
    bool hit = false;
    if (usual && !usual->children.empty() && usual->children.front()->drawable) {
        for (auto& child : usual->children)
            if (hits(*child, px, py)) {
                hit = true;
                break;
            }
    }
    if (hit) {
        if (held) {
            if (c.choice_state & k_choice_over) {
                press_transition(c);
                c.choice_state = k_choice_pressed;
            }
            return 0;
        }
        if (c.choice_state & k_choice_pressed) {
            chosen_transition(c);
            c.choice_state = k_choice_chosen;
            set_cursor_hand(false);
            g_hovered = &c;
            return 1;
        }
        if (c.choice_state & k_choice_over) return 0;
        over_transition(c);
        c.choice_state = k_choice_over;
        set_cursor_hand(c.clickable);
        g_hovered = &c;
        return 0;
    }
    if (c.choice_state != 0 && !(c.choice_state & k_choice_left)) {
        leave_transition(c, (c.choice_state & k_choice_pressed) != 0);
        SceneObject* me = &c;
        if (g_hovered.compare_exchange_strong(me, nullptr)) set_cursor_hand(false);
        c.choice_state = k_choice_left;
    } else if (c.choice_state & k_choice_left) {
        reset_transition(c);
        if (g_hovered.load() == &c) {
            set_cursor_hand(false);
            if (!held) g_hovered = nullptr;
        }
        c.choice_state = 0;
    }
    return 0;
}

bool choice_chosen(script::ScriptBlock& b, const char* path) {
    if (!path || !*path || !b.context) return false;
    const std::int32_t state = engine::state();
    if (state != engine::k_state_running && state != engine::k_state_system_script) return false;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    int result = 0;
    if (SceneObject* o = find_object(b.context->owner_key, path)) {
        if (!o->select_member && (o->choice || o->scrollbar)) mark_members(*o);
        if (o->scrollbar) {
            if (o->scrollbar->ops.pointer)
                result = o->scrollbar->ops.pointer(*o, b.button_held != 0, b.saved_pointer[0],
                                                   b.saved_pointer[1]);
        } else if (o->choice) {
            result = test_choice(*o, b.button_held != 0, b.saved_pointer[0], b.saved_pointer[1]);
        }
    }
    scene_guard.unlock();
    return result != 0;
}

void clear_marks(SceneObject& o) {
    o.select_member = false;
    for (auto& child : o.children) clear_marks(*child);
}

void clear_select_marks() {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    for (auto& owner : detail::store().owners) clear_marks(owner->root);
}

// ---- keyboard focus ---------------------------------------------------------------------------

void move_pointer_to(const SceneObject& o) {
    if (!o.drawable) return;
    const ClipRect b = screen_bounds(*o.drawable);
    const std::int32_t x = b.left + (b.right - b.left) / 2;
    const std::int32_t y = b.top + (b.bottom - b.top) / 2;
    engine::set_pointer_position(x, y);
    if (script::command_hooks().warp_pointer) script::command_hooks().warp_pointer(x, y);
}

enum Direction { k_up, k_down, k_left, k_right };

// A scroll bar's share of a focus move: 1 when it acted.
int focus_on_bar(SceneObject& o, std::int32_t code, bool over) {
    ScrollBar& bar = *o.scrollbar;
    const ScrollOps& ops = bar.ops;
    int (*op)(SceneObject&) = nullptr;
    Direction dir = k_up;
    switch (code) {
    case ui::k_in_wheel_up:
    case ui::k_in_up:
        if (!bar.horizontal) op = ops.step_back;
        dir = k_up;
        break;
    case ui::k_in_wheel_down:
    case ui::k_in_down:
        if (!bar.horizontal) op = ops.step_forward;
        dir = k_down;
        break;
    case ui::k_in_left:
        if (bar.horizontal) op = ops.step_back;
        dir = k_left;
        break;
    case ui::k_in_right:
        if (bar.horizontal) op = ops.step_forward;
        dir = k_right;
        break;
    case ui::k_in_page_up:
        if (bar.active && ops.page_back) return ops.page_back(o), 1;
        return 0;
    case ui::k_in_page_down:
        if (bar.active && ops.page_forward) return ops.page_forward(o), 1;
        return 0;
    case ui::k_in_home:
        if (bar.active && ops.to_last) return ops.to_last(o), 1;
        return 0;
    case ui::k_in_end:
        if (bar.active && ops.to_first) return ops.to_first(o), 1;
        return 0;
    default:
        return 0;
    }
    if (!op || !(bar.active || (!o.focus[dir] && over))) return 0;
    const bool was_active = bar.active;
    bar.active = true;
    op(o);
    bar.active = was_active;
    if (!bar.active) move_pointer_to(o);
    return 1;
}

// Depth first over a tree; 1 when an object acted (and the walk stops).
int focus_walk(SceneObject& o, std::int32_t code, std::int32_t px, std::int32_t py) {
    if (o.select_member) {
        const bool over = pointer_inside(o, px, py);
        if (o.scrollbar) {
            if (focus_on_bar(o, code, over)) return 1;
        } else {
            SceneObject* own = o.parent ? o.parent->parent : nullptr;
            const bool hovered = own && g_hovered.load() == own;
            auto go = [&](Direction d, bool down_like) {
                SceneObject* n = o.focus[d];
                if (!(hovered || over) || !n || !n->drawable) return 0;
                move_pointer_to(down_like && hovered && !over ? o : *n);
                return 1;
            };
            int acted = 0;
            switch (code) {
            case ui::k_in_wheel_up:
            case ui::k_in_up:
                acted = go(k_up, false);
                break;
            case ui::k_in_wheel_down:
            case ui::k_in_down:
                acted = go(k_down, true);
                break;
            case ui::k_in_left:
                acted = go(k_left, false);
                break;
            case ui::k_in_right:
            case ui::k_in_tab:
                acted = go(k_right, true);
                break;
            default:
                break;
            }
            if (acted) return 1;
        }
    }
    for (auto& child : o.children)
        if (focus_walk(*child, code, px, py)) return 1;
    return 0;
}

// Called by the input handlers before an input code is signalled. When the pointer was
// moved, the move is signalled as a pointer movement, so that a waiting select tests its
// choices at the new place.
bool offer_to_objects(std::int32_t code) {
    if (code == ui::k_in_any || code == ui::k_in_ctrl) return false;
    std::int32_t px = 0, py = 0;
    engine::pointer_position(px, py);
    int acted = 0;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    for (auto& owner : detail::store().owners)
        if ((acted = focus_walk(owner->root, code, px, py)) != 0) break;
    scene_guard.unlock();
    std::int32_t nx = 0, ny = 0;
    engine::pointer_position(nx, ny);
    if (acted && (nx != px || ny != py))
        if (platform::Event* e = ui::input_event(ui::k_in_any)) e->signal();
    return acted != 0;
}

// The first member of a waiting select that a pointer can be brought to (a choice's
// image, not a scroll bar).
SceneObject* first_member(SceneObject& o) {
    if (o.select_member && !o.scrollbar && o.drawable) return &o;
    for (auto& child : o.children)
        if (SceneObject* m = first_member(*child)) return m;
    return nullptr;
}

bool focus_first_choice() {
    if (g_hovered.load()) return false;
    SceneObject* m = nullptr;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    for (auto& owner : detail::store().owners)
        if ((m = first_member(owner->root)) != nullptr) break;
    if (m) move_pointer_to(*m);
    scene_guard.unlock();
    // Signalled as a pointer movement, so that the waiting select tests its choices.
    if (m)
        if (platform::Event* e = ui::input_event(ui::k_in_any)) e->signal();
    return m != nullptr;
}

void forget_object(SceneObject& o) {
    SceneObject* me = &o;
    if (g_hovered.compare_exchange_strong(me, nullptr)) set_cursor_hand(false);
}

// ---- commands ---------------------------------------------------------------------------------

bool cmd_create_choice(script::CommandCall& call) {
    if (call.path.empty()) return true;
    commands::hold_for_group(call);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    SceneObject* c = create_object(call.context.owner_key, call.path);
    if (c) {
        c->creator = call.block.object_prefix;
        c->creating_command = call.canonical;
        c->no_actions = true;
        c->drawn = true;
        c->shown = true;
        c->inherit = false;
        c->clickable = true;
        c->choice = true;
        set_slot(*c, k_slot_draw, k_op_idle);
        for (int i = 0; i < 6; ++i) {
            const std::string a = call.arg(static_cast<std::size_t>(i + 1));
            c->kind_params[static_cast<std::size_t>(i)] =
                call.has(static_cast<std::size_t>(i + 1)) && script::is_number_text(a)
                    ? script::argument_int(a)
                    : -1;
        }
        for (const char* name : k_group_names) {
            SceneObject* g = create_object(call.context.owner_key, call.path + "/" + name);
            if (!g) break;
            g->creator = call.block.object_prefix;
            g->no_actions = true;
            g->drawn = true;
            g->inherit = false;
            g->excluded = true;
            set_slot(*g, k_slot_draw, k_op_disabled);
        }
    }
    return true;
}

Direction direction_of(const std::string& word, bool& ok) {
    std::string up;
    for (char ch : word) up += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    ok = true;
    if (up.rfind("UP", 0) == 0) return k_up;
    if (up == "DOWN") return k_down;
    if (up == "LEFT") return k_left;
    if (up == "RIGHT") return k_right;
    ok = false;
    return k_up;
}

bool cmd_set_next_focus(script::CommandCall& call) {
    bool ok = false;
    const Direction d = direction_of(call.arg(2), ok);
    if (call.path.empty() || !ok) {
        if (!ok)
            commands::problem(call, "SetNextFocus: the direction must be UP, DOWN, LEFT or RIGHT");
        return true;
    }
    std::string neighbour = call.arg(1);
    if (call.block.object_prefix[0] && !neighbour.empty() && neighbour[0] != '@')
        neighbour = std::string(call.block.object_prefix) + "/" + neighbour;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    SceneObject* o = find_object(call.context.owner_key, call.path);
    SceneObject* n = find_object(call.context.owner_key, neighbour);
    if (o && n) o->focus[d] = n;
    return true;
}

} // namespace

void set_cursor_hand(bool hand) {
    g_hand = hand;
    if (platform::Window* w = frame::main_window()) w->set_hand_cursor(hand);
}

bool cursor_hand() {
    return g_hand.load();
}

SceneObject* hovered_choice() {
    return g_hovered.load();
}

void set_hovered_choice(SceneObject* o) {
    g_hovered = o;
}

void end_hover() {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    for (SceneObject* o : current_list())
        if (o->choice && (o->choice_state & k_choice_over)) {
            leave_transition(*o, false);
            o->choice_state = k_choice_left;
        }
    scene_guard.unlock();
    set_cursor_hand(false);
    g_hovered = nullptr;
}

namespace commands {

void register_choice_commands() {
    static bool listening = false;
    if (!listening) {
        listening = true;
        add_free_listener(forget_object);
    }
    script::register_command("CreateChoice", cmd_create_choice);
    script::register_command("SetNextFocus", cmd_set_next_focus);
    script::ChoiceHooks hooks = script::choice_hooks();
    hooks.chosen = choice_chosen;
    hooks.end_hover = end_hover;
    hooks.clear_select_marks = clear_select_marks;
    hooks.reset_cursor_shape = [] { set_cursor_hand(false); };
    script::set_choice_hooks(hooks);
    ui::input_hooks().offer_to_objects = offer_to_objects;
    ui::input_hooks().focus_first_choice = focus_first_choice;
    ui::input_hooks().cursor_is_hand = [] {
        const script::CommandHooks& ch = script::command_hooks();
        return cursor_hand() || (ch.pointer_over_clickable && ch.pointer_over_clickable());
    };
}

} // namespace commands

} // namespace kestrune::scene
