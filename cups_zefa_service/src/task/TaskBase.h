// A unit of work a handler creates for one incoming item, runs once and
// destroys. Its outcome is at most one frame for the host.
#pragma once

#include "protocol/Reply.h"

namespace czs {

class TaskBase {
public:
    virtual ~TaskBase() = default;
    // Runs the task; an empty Reply means nothing to send.
    virtual Reply execute() = 0;
};

}  // namespace czs
