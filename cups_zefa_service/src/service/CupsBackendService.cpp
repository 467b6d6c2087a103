#include "service/CupsBackendService.h"

#include "service/SocketHandler.h"

namespace czs {

CupsBackendService::CupsBackendService(asio::io_context& io, PrintFileRegistry& registry, ReplyCallback onReply,
                                       std::string address,
                                       uint16_t port, std::string spoolDir, std::chrono::milliseconds bindWait)
    : connection_(std::make_unique<SocketConnection>(
          io, [this](const RawStreamData& d) { onData(d); }, std::move(address), port,
          SocketConnection::kDefaultMaxLine, bindWait)),
      handler_(std::make_unique<SocketHandler>(registry, std::move(spoolDir))),
      onReply_(std::move(onReply)) {}

CupsBackendService::~CupsBackendService() {
    onReply_ = nullptr;
    handler_.reset();
    connection_.reset();
}

std::error_code CupsBackendService::open() { return connection_->open(); }

void CupsBackendService::onData(const RawStreamData& data) {
    Reply reply = handler_->handle(data);
    if (!reply.empty() && onReply_) {
        onReply_(std::move(reply));
    }
}

}  // namespace czs
