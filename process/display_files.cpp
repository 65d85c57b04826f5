#include "display_files.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "files.h"

void remove_x_display_files(pid_t pid) {
    char lock[64], socket[64];
    for (int display = 0; display < 64; ++display) {
        std::snprintf(lock, sizeof lock, "/tmp/.X%d-lock", display);
        std::string owner;
        if (!read_file(lock, owner) || std::atol(owner.c_str()) != pid) continue;
        std::snprintf(socket, sizeof socket, "/tmp/.X11-unix/X%d", display);
        unlink(socket);
        unlink(lock);
    }
}
