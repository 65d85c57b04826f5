// keymon: prints what SDL 1.2 reports for every key press and release.
#include <SDL.h>
#include <SDL_syswm.h>

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keymon.h"
#include "interface.h"
#include "standard_streams.h"

namespace {

// The X11 connection SDL reads its events from, or -1 when there is none.
// ConnectionNumber and QLength are field reads, so nothing here calls Xlib.
struct DisplayWait {
    Display* display = nullptr;
    int fd = -1;
};

DisplayWait find_display() {
    DisplayWait wait;
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) == 1 && info.subsystem == SDL_SYSWM_X11 && info.info.x11.display) {
        wait.display = info.info.x11.display;
        wait.fd = ConnectionNumber(wait.display);
    }
    return wait;
}

// Called only after a poll found SDL's queue empty and nothing asked to
// end. Waiting for the connection to become readable keeps an idle monitor
// off the processor; the bound covers events that reach SDL by another
// road (signals turned into quit requests, events Xlib has already read
// into its own queue). Both waits are the idle waits interface.h describes.
void wait_for_input(const DisplayWait& wait) {
    if (wait.fd >= 0) {
        if (QLength(wait.display) > 0) return;
        pollfd pfd{wait.fd, POLLIN, 0};
        poll(&pfd, 1, keymon_idle_wait_ms);
        return;
    }
    poll(nullptr, 0, keymon_idle_nap_ms);
}

// The error of the first write to standard output that failed, 0 while
// none has. Lines that cannot be written end the run: a diagnostic tool
// must not end with status 0 having lost them.
int write_error = 0;

void report(const SDL_keysym& keysym) {
    if (write_error) return;
    report_key_event(keysym);
    if (std::ferror(stdout)) write_error = errno ? errno : EIO;
}

// Reports key events the moment SDL reads them off the X connection, before
// they would go into its event queue. That queue holds 128 events, and one
// poll moves everything the connection has into it: a fast burst read in one
// poll would overflow it and lose keys without a word. Only the Escape press
// and events that are not keys go on to the queue, where the loop sees them.
int report_keys_as_read(const SDL_Event* event) {
    const bool is_reported = event->type == SDL_KEYUP ||
                             (event->type == SDL_KEYDOWN && event->key.keysym.sym != SDLK_ESCAPE);
    if (!is_reported) return 1;
    report(event->key.keysym);
    return 0;
}

}  // namespace

int main(int, char**) {
    open_missing_standard_streams();
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        std::fprintf(stderr, "Couldn't initialize SDL: %s\n", SDL_GetError());
        std::exit(1);
    }
    SDL_SetVideoMode(100, 50, 16, SDL_ANYFORMAT);
    SDL_EnableUNICODE(1);
    SDL_SetEventFilter(report_keys_as_read);
    SDL_WM_SetCaption(keymon_window_title, keymon_window_title);
    const DisplayWait wait = find_display();

    int quit = 0;
    SDL_Event event;
    event.type = SDL_NOEVENT;
    for (;;) {
        const int found = SDL_PollEvent(&event);
        if ((!found && quit) || write_error) break;
        // Key events other than the Escape press stop at the filter; any
        // that SDL queues past it are reported here as before.
        switch (event.type) {
        case SDL_KEYUP:
            report(event.key.keysym);
            break;
        case SDL_QUIT:
            quit = 1;
            break;
        case SDL_KEYDOWN:
            if (event.key.keysym.sym == SDLK_ESCAPE) {
                quit = 1;
            } else {
                report(event.key.keysym);
            }
            break;
        default:
            break;
        }
        event.type = SDL_NOEVENT;
        if (!found) wait_for_input(wait);
    }
    // The SDL2-based runtime releases every key still down as it shuts
    // down; with the filter in place it would report an Escape release that
    // no one typed.
    SDL_SetEventFilter(nullptr);
    SDL_Quit();
    if (!write_error && std::fflush(stdout) != 0) write_error = errno ? errno : EIO;
    if (write_error) {
        std::fprintf(stderr, "keymon: write error: %s\n", std::strerror(write_error));
        return 1;
    }
    return 0;
}
