// Standard descriptors a program was started without, for keymon and
// keymon-compare alike.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

// Opens /dev/null on each of descriptors 0-2 that is closed, before anything
// else opens a file or a socket that would take its number (`keymon >&-`
// would otherwise write its lines into its own X connection). As GNU tools
// do, each is opened for the other direction: writing to a closed standard
// output then fails, and is reported, rather than vanishing.
inline void open_missing_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}
