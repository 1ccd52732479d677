// Placeholder until the text icon is built: the display may already show and place it.
#include "text/icons.h"

namespace kestrune::text {

namespace {
int g_kind = k_icon_none;
}

void show_icon(int kind) {
    g_kind = kind == 255 ? k_icon_auto : kind;
}

int shown_icon_kind() {
    return g_kind;
}

void place_icon(std::int32_t, std::int32_t) {}

void register_icons_with_frame() {}

} // namespace kestrune::text
