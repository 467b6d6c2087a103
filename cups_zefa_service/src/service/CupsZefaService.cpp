#include "service/CupsZefaService.h"

namespace czs {

CupsZefaService::CupsZefaService(asio::io_context& io) : CupsZefaService(io, Options{}) {}

CupsZefaService::CupsZefaService(asio::io_context& io, Options options)
    : vm_(std::make_unique<VirtualMachineService>(io, std::move(options.host), registry_)),
      backend_(std::make_unique<CupsBackendService>(
          io, registry_, [this](Reply r) { onReply(std::move(r)); }, options.backendAddress, options.backendPort,
          options.spoolDir, options.backendBindWait)),
      retention_(io, registry_, options.spoolRetention, options.spoolDir) {
    retention_.start();
}

CupsZefaService::~CupsZefaService() {
    backend_.reset();
    vm_.reset();
}

int32_t CupsZefaService::openHostChannel() { return vm_->open(); }

int32_t CupsZefaService::openBackendSocket() {
    std::error_code ec = backend_->open();
    return ec ? (ec.value() != 0 ? ec.value() : -1) : 0;
}

void CupsZefaService::onReply(Reply reply) { vm_->send(std::move(reply)); }

}  // namespace czs
