// cups_zefa_service: the print channel daemon ("start", "stop", "restart").
#include "app/DaemonConfigLoader.h"
#include "app/Entry.h"
#include "service/CupsZefaService.h"

int main(int argc, char** argv) {
    return czs::runEntry(argc, argv, [](asio::io_context& io) {
        return std::make_unique<czs::CupsZefaService>(io, czs::loadDaemonConfig());
    });
}
