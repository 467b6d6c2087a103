#include "service/CupsZefaService.h"

namespace czs {

namespace {
VirtualMachineService::Options withOwnerPolicy(VirtualMachineService::Options o, const ChannelOwnerPolicy& policy) {
    o.shm.ownerPolicy = &policy;
    return o;
}
}  // namespace

CupsZefaService::CupsZefaService(asio::io_context& io, DaemonConfig config, Options options)
    : io_(io),
      config_(std::move(config)),
      ownerPolicy_(
          options.seats ? options.seats : std::shared_ptr<const orv::SeatSessions>(orv::makeLogindSeatSessions()),
          config_.trustedChannelOwners),
      vm_(std::make_unique<VirtualMachineService>(
          io, registry_, config_, [this] { onHostClosed(); }, withOwnerPolicy(std::move(options.host), ownerPolicy_))),
      backend_(std::make_unique<CupsBackendService>(
          io, registry_, [this](Reply r, WriteDone done) { onReply(std::move(r), std::move(done)); },
          options.backendAddress, options.backendPort, options.spoolDir, options.backendBindWait)),
      retention_(io, registry_, config_.spoolRetention, options.spoolDir) {
    retention_.start();
}

CupsZefaService::~CupsZefaService() {
    backend_.reset();
    vm_.reset();
}

int32_t CupsZefaService::openHostChannel() {
    return vm_->open();
}

int32_t CupsZefaService::openBackendSocket() {
    const orv::Result<void> opened = backend_->open();
    if (opened) return 0;
    return opened.errnum() != 0 ? opened.errnum() : -1;
}

void CupsZefaService::onReply(Reply reply, WriteDone done) {
    vm_->send(std::move(reply), std::move(done));
}

void CupsZefaService::onHostClosed() {
    // The host left (or broke the channel): end the daemon as a clean stop, so
    // the service manager starts it afresh and it waits for the next host.
    // May run on the shared-memory client thread; stop() is thread-safe.
    io_.stop();
}

}  // namespace czs
