// The limits and framing a StreamServer applies to its clients; the defaults
// suit a local peer that sends small units.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>

#include "runtime/UnixSocketPath.h"

namespace orv {

/// How a StreamServer frames its input and what one client may hold.
struct StreamServerOptions {
    enum class Framing { Line, Record };
    Framing framing = Framing::Line;
    /// Record size for Framing::Record.
    std::size_t recordSize = 8;
    /// Longest line, newline included; a client whose line grows past it is dropped.
    std::size_t maxLine = 1024 * 1024;
    /// Clients served at once. At the cap, the client that has been idle
    /// longest makes room; when every client is busy, the new one is closed.
    std::size_t maxClients = 16;
    /// Clients one uid may hold at once over a Unix socket (0: no limit; root
    /// is never limited). Keeps one user from taking every slot.
    std::size_t maxClientsPerUid = 0;
    /// Time a client has for each complete unit, from its connection or the
    /// end of its previous unit's answer.
    std::chrono::milliseconds unitDeadline{5000};
    /// When set, the unit deadline runs only while a unit is under way (its
    /// first byte has come): a client that has sent nothing, or only whole
    /// units, may stay connected, holding just its slot, which the caps can
    /// take back. For peers that keep a connection open for a whole session.
    bool idleIsFree = false;
    /// Time an answer may keep a client waiting; past it the client is closed.
    std::chrono::milliseconds answerDeadline{30000};
    /// Answers one client may be owed at once; reading pauses at this many.
    std::size_t maxPendingAnswers = 8;
    int backlog = 16;
    /// Pause after an accept failure (out of descriptors, say), doubled on
    /// every further failure up to the maximum.
    std::chrono::milliseconds acceptPause{50};
    std::chrono::milliseconds acceptPauseMax{1000};
    /// TCP: how long a bind that finds the address in use is retried (a
    /// predecessor may still hold the port for a moment).
    std::chrono::milliseconds bindWait{0};
    /// Unix: the socket file's mode.
    mode_t unixMode = 0777;
};

}  // namespace orv
