// keymon built with one of two earlier event loops, for the benchmark to
// measure beside today's keymon. Neither filters events: every key goes
// through SDL's 128-event queue.
//   KEYMON_LOOP_SPIN: polls without ever sleeping (a whole core; the floor
//     of latency while keys come one at a time).
//   KEYMON_LOOP_BUSY_WINDOW: polls for 5 ms after each event, then sleeps on
//     the X connection (keymon before it reported keys as SDL reads them).
#include <SDL.h>
#include <SDL_syswm.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>

#include "interface.h"
#include "keymon.h"

#if defined(KEYMON_LOOP_SPIN) == defined(KEYMON_LOOP_BUSY_WINDOW)
#error "define exactly one of KEYMON_LOOP_SPIN and KEYMON_LOOP_BUSY_WINDOW"
#endif

namespace {

#ifdef KEYMON_LOOP_BUSY_WINDOW
void sleep_on_connection() {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) != 1 || info.subsystem != SDL_SYSWM_X11 || !info.info.x11.display) {
        SDL_Delay(1);
        return;
    }
    Display* display = info.info.x11.display;
    if (QLength(display) > 0) return;
    pollfd pfd{ConnectionNumber(display), POLLIN, 0};
    poll(&pfd, 1, 100);
}
#endif

}  // namespace

int main(int, char**) {
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        std::fprintf(stderr, "Couldn't initialize SDL: %s\n", SDL_GetError());
        std::exit(1);
    }
    SDL_SetVideoMode(100, 50, 16, SDL_ANYFORMAT);
    SDL_EnableUNICODE(1);
    SDL_WM_SetCaption(keymon_window_title, keymon_window_title);

    int quit = 0;
    SDL_Event event;
    event.type = SDL_NOEVENT;
    [[maybe_unused]] Uint32 last_event = SDL_GetTicks();
    for (;;) {
        const int found = SDL_PollEvent(&event);
        if (!found && quit) break;
        if (event.type == SDL_KEYUP || (event.type == SDL_KEYDOWN && event.key.keysym.sym != SDLK_ESCAPE)) {
            report_key_event(event.key.keysym);
        } else if (event.type == SDL_QUIT || event.type == SDL_KEYDOWN) {
            quit = 1;
        }
        event.type = SDL_NOEVENT;
#ifdef KEYMON_LOOP_BUSY_WINDOW
        if (found) last_event = SDL_GetTicks();
        if (!found && SDL_GetTicks() - last_event > 5) sleep_on_connection();
#endif
    }
    SDL_Quit();
    return 0;
}
