#include "service/CupsZefaService.h"

namespace czs {

CupsZefaService::CupsZefaService(asio::io_context& io) : CupsZefaService(io, Options{}) {}

CupsZefaService::CupsZefaService(asio::io_context& io, Options options)
    : vm_(std::make_unique<VirtualMachineService>(io, std::move(options.host))),
      backend_(std::make_unique<CupsBackendService>(
          io, PrintFileRegistry::instance(), [this](Reply r, WriteDone done) { onReply(std::move(r), std::move(done)); },
          options.backendAddress, options.backendPort, options.spoolDir, options.backendBindWait)) {}

CupsZefaService::~CupsZefaService() {
    backend_.reset();
    vm_.reset();
}

int32_t CupsZefaService::openHostChannel() { return vm_->open(); }

int32_t CupsZefaService::openBackendSocket() {
    std::error_code ec = backend_->open();
    return ec ? (ec.value() != 0 ? ec.value() : -1) : 0;
}

void CupsZefaService::onReply(Reply reply, WriteDone done) {
    // Until the host transports report completed writes, all that is known
    // here is whether a host connection took the frame.
    const bool taken = vm_->connection() != nullptr;
    vm_->send(std::move(reply));
    if (done) done(taken);
}

}  // namespace czs
