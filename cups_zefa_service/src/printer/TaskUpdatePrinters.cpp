#include "printer/TaskUpdatePrinters.h"

#include "common/DaemonStatus.h"
#include <runtime/Log.h>

namespace czs {

TaskUpdatePrinters::TaskUpdatePrinters(UpdatePrintersPerformer& performer, const PrintProtocolJsonMsg& message)
    : m_performer(&performer), m_message(message) {}

Reply TaskUpdatePrinters::execute() {
    ORV_LOG(Info, "executing task\n");
    m_performer->parseParameters(m_message);
    m_performer->updatePrinters();
    daemon_status::printersMirrored(m_performer->manager().printers().size());
    return Reply();
}

}  // namespace czs
