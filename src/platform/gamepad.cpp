#include "platform/gamepad.h"

#include <SDL2/SDL.h>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace kestrune::platform {

namespace {

bool g_open = false;
bool g_failed = false; // said once; no second try
std::vector<SDL_GameController*> g_pads;
int g_virtual_index = -1; // device index of the virtual controller while it is attached
SDL_Joystick* g_virtual = nullptr;

// SDL's names of the buttons, in SDL_GameControllerButton order.
constexpr std::array<const char*, 15> k_buttons = {"a",
                                                   "b",
                                                   "x",
                                                   "y",
                                                   "back",
                                                   "guide",
                                                   "start",
                                                   "leftstick",
                                                   "rightstick",
                                                   "leftshoulder",
                                                   "rightshoulder",
                                                   "dpup",
                                                   "dpdown",
                                                   "dpleft",
                                                   "dpright"};

int button_index(std::string_view name) {
    for (std::size_t i = 0; i < k_buttons.size(); ++i) {
        const std::string_view b = k_buttons[i];
        if (b.size() == name.size() &&
            std::equal(b.begin(), b.end(), name.begin(), [](char x, char y) {
                return x == std::tolower(static_cast<unsigned char>(y));
            }))
            return static_cast<int>(i);
    }
    return -1;
}

void open_pad(int device_index) {
    if (!SDL_IsGameController(device_index)) return;
    const SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(device_index);
    for (SDL_GameController* p : g_pads)
        if (SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(p)) == id) return;
    if (SDL_GameController* pad = SDL_GameControllerOpen(device_index)) g_pads.push_back(pad);
}

void close_pad(SDL_JoystickID id) {
    for (auto it = g_pads.begin(); it != g_pads.end(); ++it)
        if (SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(*it)) == id) {
            SDL_GameControllerClose(*it);
            g_pads.erase(it);
            return;
        }
}

// The virtual controller: a joystick with the fifteen buttons of a controller, mapped one
// to one (button i is controller button i), plus its six axes.
bool attach_virtual() {
    if (g_virtual) return true;
    if (!open_gamepads()) return false;
    const int index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_GAMECONTROLLER, 6,
                                                static_cast<int>(k_buttons.size()), 0);
    if (index < 0) {
        std::fprintf(stderr, "kestrune: no virtual game controller: %s\n", SDL_GetError());
        return false;
    }
    char guid[33];
    SDL_JoystickGetGUIDString(SDL_JoystickGetDeviceGUID(index), guid, sizeof guid);
    std::string mapping = std::string(guid) + ",Kestrune virtual pad,";
    for (std::size_t i = 0; i < k_buttons.size(); ++i)
        mapping += std::string(k_buttons[i]) + ":b" + std::to_string(i) + ",";
    SDL_GameControllerAddMapping(mapping.c_str());
    g_virtual = SDL_JoystickOpen(index);
    if (!g_virtual) {
        SDL_JoystickDetachVirtual(index);
        return false;
    }
    g_virtual_index = index;
    // Opened now rather than at its "added" event, so that the press that plugged it in
    // already counts.
    open_pad(index);
    return true;
}

void detach_virtual() {
    if (!g_virtual) return;
    SDL_JoystickClose(g_virtual);
    g_virtual = nullptr;
    SDL_JoystickDetachVirtual(g_virtual_index);
    g_virtual_index = -1;
}

} // namespace

bool gamepad_button_known(std::string_view name) {
    return button_index(name) >= 0;
}

bool open_gamepads() {
    if (g_open) return true;
    if (g_failed) return false;
    if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0) {
        std::fprintf(stderr, "kestrune: game controllers are not available: %s\n", SDL_GetError());
        g_failed = true;
        return false;
    }
    g_open = true;
    // Controllers plugged in before the start also arrive as "added" events; opening them
    // here already lets the first press count.
    for (int i = 0; i < SDL_NumJoysticks(); ++i) open_pad(i);
    return true;
}

void close_gamepads() {
    if (!g_open) return;
    for (SDL_GameController* p : g_pads) SDL_GameControllerClose(p);
    g_pads.clear();
    detach_virtual();
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
    g_open = false;
}

bool gamepad_event(const SDL_Event& e, WindowEvent& out) {
    switch (e.type) {
    case SDL_CONTROLLERDEVICEADDED:
        open_pad(e.cdevice.which);
        return false;
    case SDL_CONTROLLERDEVICEREMOVED:
        close_pad(e.cdevice.which);
        return false;
    case SDL_CONTROLLERBUTTONDOWN:
    case SDL_CONTROLLERBUTTONUP: {
        const char* name = SDL_GameControllerGetStringForButton(
            static_cast<SDL_GameControllerButton>(e.cbutton.button));
        if (!name) return false;
        out = WindowEvent{};
        out.kind = e.type == SDL_CONTROLLERBUTTONDOWN ? WindowEvent::Kind::pad_down
                                                      : WindowEvent::Kind::pad_up;
        out.key = name;
        return true;
    }
    default:
        return false;
    }
}

void drive_virtual_gamepad(const WindowEvent& in, std::deque<WindowEvent>& out) {
    using Kind = WindowEvent::Kind;
    if (in.kind == Kind::pad_unplug) {
        detach_virtual();
    } else {
        const int button = button_index(in.key);
        if (button < 0 || !attach_virtual()) return;
        SDL_JoystickSetVirtualButton(g_virtual, button, in.kind == Kind::pad_down ? 1 : 0);
    }
    // The controller layer turns the new state into its events when SDL pumps.
    SDL_PumpEvents();
    SDL_Event events[16];
    for (;;) {
        const int n = SDL_PeepEvents(events, 16, SDL_GETEVENT, SDL_CONTROLLERAXISMOTION,
                                     SDL_CONTROLLERSENSORUPDATE);
        if (n <= 0) break;
        for (int i = 0; i < n; ++i) {
            WindowEvent e;
            if (gamepad_event(events[i], e)) out.push_back(e);
        }
    }
    // The joystick layer's own events are not used.
    SDL_FlushEvents(SDL_JOYAXISMOTION, SDL_JOYBATTERYUPDATED);
}

} // namespace kestrune::platform
