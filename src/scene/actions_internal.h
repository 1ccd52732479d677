// Set-up operations of the actions, shared by the action files and the commands.
#pragma once

#include "scene/scene_internal.h"

namespace kestrune::scene::detail {

enum TrailAction : int { k_trail_move = 0, k_trail_rotate = 1, k_trail_zoom = 2 };

std::uint32_t now_for_actions();
std::int32_t towards(std::int32_t start, std::int32_t target, double amount);
void start_core(ActionCore& a, std::int32_t time_ms, std::string_view tempo);
std::array<std::int32_t, 2> current_scale(const SceneObject& o);
std::array<std::int32_t, 3> current_angles(const SceneObject& o);
// Step s of n along a straight line from `from` that moves by d over the n steps, rounded
// to the nearest integer.
std::int32_t line_point(std::int32_t from, std::int64_t d, std::int64_t s, std::int64_t n);

// Each releases a running action of its kind first; time 0 applies the target at once.
void begin_move(SceneObject& o, const std::array<std::int32_t, 3>& target, std::int32_t time_ms,
                std::string_view tempo, std::vector<std::array<std::int32_t, 3>> path = {},
                std::string bezier_points = {});
void begin_fade(SceneObject& o, std::uint8_t target, std::int32_t time_ms, std::string_view tempo);
void begin_zoom(SceneObject& o, std::array<std::int32_t, 2> target, std::int32_t time_ms,
                std::string_view tempo);
void begin_rotate(SceneObject& o, std::array<std::int32_t, 3> target, std::int32_t time_ms,
                  std::string_view tempo);
void begin_shake(SceneObject& o, std::int32_t sx, std::int32_t sy, std::int32_t ex, std::int32_t ey,
                 std::int32_t rate, std::int32_t time_ms, std::string_view tempo);
// Rule map from an image; "NULL" (rule null) cancels a running transition.
bool begin_transition(SceneObject& o, std::int32_t from, std::int32_t to, const PixelImage* rule,
                      std::string_view rule_name, std::int32_t softness, std::int32_t time_ms,
                      std::string_view tempo);
void cancel_transition(SceneObject& o);
// Sets the position, scale or angles as the move, zoom and rotate steps do (reprojects).
void restore_position(SceneObject& o, std::int32_t x, std::int32_t y, std::int32_t z);
void restore_scale(SceneObject& o, std::int32_t sx, std::int32_t sy);
void restore_angles(SceneObject& o, const std::array<std::int32_t, 3>& a);

// Trail: starts (count 1..128, weight 1..1000) or stops the afterimages.
bool begin_trail(SceneObject& o, std::int32_t count, std::int32_t weight, std::int32_t interval_ms,
                 bool draw_before);
void stop_trail(SceneObject& o);
// After the step of action a: moves the afterimages; true while they still close up on
// the final value (the action then keeps its slot).
bool trail_update(SceneObject& o, TrailAction a);
void trail_reset(SceneObject& o, TrailAction a);

void register_transition_operation();

// Points of a BezierMove: false for an unbalanced or empty chain or more than 255
// segments. Coordinates relative to `from` where written with '@'.
bool bezier_path(std::string_view points, const std::array<std::int32_t, 3>& from,
                 std::vector<std::array<std::int32_t, 3>>& path);

} // namespace kestrune::scene::detail
