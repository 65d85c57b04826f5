// What an X server leaves when it is killed before it can clean up.
#pragma once

#include <sys/types.h>

// Removes the lock file (/tmp/.XN-lock) that holds `pid` (an X server, or
// the compositor that ran Xwayland) and that display's socket, so the
// display number is free again. A sweep for set_leftover_sweep.
void remove_x_display_files(pid_t pid);
