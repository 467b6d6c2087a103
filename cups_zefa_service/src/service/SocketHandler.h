// The backend socket's handler: one JSON announcement of a new print file
// becomes the "sendfile"/"notification" frame for the host.
#pragma once

#include <string>

#include "service/HandlerBase.h"
#include "task/NewFilePerformer.h"

namespace czs {

class SocketHandler : public HandlerBase {
public:
    /// Print files are served only from `spoolDir`; announced ones are
    /// recorded in `registry`, which must outlive the handler.
    explicit SocketHandler(PrintFileRegistry& registry, std::string spoolDir = kSpoolDir)
        : performer_(std::move(spoolDir), registry) {}
    Reply handle(const RawStreamData& data) override;
    /// The id the last accepted announcement was registered under (empty when
    /// the last line was refused).
    std::string announcedId() const;

private:
    NewFilePerformer performer_;
};

}  // namespace czs
