// cups_zefa_service: the print channel daemon ("start", "stop", "restart").
#include "app/Entry.h"

namespace {

// Placeholder until the transports land: no host channel can be opened.
class NoTransportService : public czs::PrintChannelService {
public:
    int32_t openHostChannel() override { return -1; }
    int32_t openBackendSocket() override { return -1; }
};

}  // namespace

int main(int argc, char** argv) {
    return czs::runEntry(argc, argv, [](asio::io_context&) {
        return std::make_unique<NoTransportService>();
    });
}
