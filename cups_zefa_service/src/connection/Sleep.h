// Sleeps that resume with the remaining time when a signal interrupts them,
// so a SIGTERM does not cut a pause short.
#pragma once

#include <cerrno>
#include <ctime>

namespace czs {

inline void sleepFully(time_t sec, long nsec) {
    timespec req{sec, nsec};
    timespec rem{};
    while (nanosleep(&req, &rem) == -1 && errno == EINTR) {
        req = rem;
    }
}

}  // namespace czs
