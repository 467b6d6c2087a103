#include "service/CupsBackendService.h"

#include <nlohmann/json.hpp>

#include <runtime/Log.h>
#include "service/SocketHandler.h"

namespace czs {

namespace {
constexpr const char* kLogTag = "CupsBackendService";
}

std::string BackendAnswer::ok() {
    return nlohmann::ordered_json{{backend_answer::kStatusKey, backend_answer::kOk}}.dump() + "\n";
}

std::string BackendAnswer::error(const std::string& reason) {
    // Ordered, so "status" comes first for a reader that looks at the start.
    return nlohmann::ordered_json{{backend_answer::kStatusKey, backend_answer::kError},
                                  {backend_answer::kReasonKey, reason}}
               .dump() +
           "\n";
}

CupsBackendService::CupsBackendService(asio::io_context& io, PrintFileRegistry& registry, ReplyCallback onReply,
                                       std::string address, uint16_t port, std::string spoolDir,
                                       std::chrono::milliseconds bindWait, SocketConnection::Limits limits)
    : connection_(std::make_unique<SocketConnection>(
          io, [this](const RawStreamData& line, orv::Answer answer) { onLine(line, std::move(answer)); },
          std::move(address), port, SocketConnection::kDefaultMaxLine, bindWait, limits)),
      registry_(registry),
      handler_(std::make_unique<SocketHandler>(registry, std::move(spoolDir))),
      onReply_(std::move(onReply)) {}

CupsBackendService::~CupsBackendService() {
    onReply_ = nullptr;
    handler_.reset();
    connection_.reset();
}

orv::Result<void> CupsBackendService::open() {
    return connection_->open();
}

void CupsBackendService::onLine(const RawStreamData& line, orv::Answer answer) {
    Reply reply = handler_->handle(line);
    if (reply.empty()) {
        // The handler has logged why; the backend must not count the job as
        // delivered.
        answer.send(BackendAnswer::error(backend_answer::kRefused));
        return;
    }
    if (!onReply_) {
        answer.send(BackendAnswer::error(backend_answer::kNoHost));
        return;
    }
    // WriteDone must be copyable; the answer is not. It is told exactly once.
    // Only a file the host has been told of may later expire from the spool;
    // the registry outlives both sides of the service.
    auto owed = std::make_shared<orv::Answer>(std::move(answer));
    onReply_(std::move(reply), [owed, registry = &registry_, id = handler_->announcedId()](bool written) {
        if (!written) {
            ORV_LOG(Error, "announcement not delivered to the host; the backend is told to retry\n");
        } else if (!id.empty()) {
            registry->markAnnounced(id);
        }
        owed->send(written ? BackendAnswer::ok() : BackendAnswer::error(backend_answer::kNotDelivered));
    });
}

}  // namespace czs
