// Shared by the overlay files: painting and the geometry it shares with input.
#pragma once

#include "ui/overlay.h"

namespace kestrune::ui::detail {

inline constexpr std::int32_t k_title_height = 28;

// The column of a slider's thumb.
std::int32_t slider_x(const Widget& slider);
// Installs the picture painter while the menu bar or an overlay is there, removes it
// otherwise (the picture is then shown as the scene left it, at no cost).
void refresh_painter();
// Paints o over a 1024x576 BGRA picture.
void paint_overlay(const Overlay& o, std::uint8_t* bgra, std::int32_t stride);

} // namespace kestrune::ui::detail
