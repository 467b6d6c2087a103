// Answers the host's "discovery"/"notification" by asking for the printer
// list: a "discovery"/"request" frame without data.
#pragma once

#include "task/TaskBase.h"

namespace czs {

class TaskSendNotification : public TaskBase {
public:
    TaskSendNotification() = default;
    Reply execute() override;

private:
    Reply createFrame();
};

}  // namespace czs
