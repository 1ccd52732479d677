// The display connection going away (the X server ended, the session closed) under a
// windowed run. Xlib's own handler calls exit(), which runs the program's exit-time
// destructors on the thread inside Xlib while the engine's other threads still use what
// they destroy. The run ends here instead, at once, with a message and exit code 1: the
// save files are written by rename, so none is left half-written.
#include "platform/window.h"

#include <SDL2/SDL.h>
#include <cstring>
#include <unistd.h>

#ifdef KESTRUNE_HAVE_X11
#include <X11/Xlib.h>
#endif

namespace kestrune::platform {

namespace {

#ifdef KESTRUNE_HAVE_X11
int on_display_lost(Display*) {
    static const char message[] = "kestrune: the connection to the display was lost\n";
    ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
    _exit(1);
}
#endif

} // namespace

void watch_display_connection() {
#ifdef KESTRUNE_HAVE_X11
    const char* driver = SDL_GetCurrentVideoDriver();
    if (driver && std::strcmp(driver, "x11") == 0) XSetIOErrorHandler(on_display_lost);
#endif
}

} // namespace kestrune::platform
