#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "../connection/FrameBytes.h"
#include "../support/LogCapture.h"
#include "service/CupsZefaService.h"
#include "service/VirtualMachineService.h"

namespace czs {
namespace {

using Transport = VirtualMachineService::Transport;

// A host transport that records what it is asked to do.
struct FakeConnection : ConnectionBase {
    struct Shared {
        std::vector<Transport> opened;
        std::vector<std::string> written;
        std::function<bool(Transport, int attempt)> succeed = [](Transport, int) { return false; };
        std::function<void()> onDestroy;
        DataCallback deliver;
    };
    FakeConnection(Transport t, Shared& s, DataCallback cb) : t_(t), s_(s) { s_.deliver = std::move(cb); }
    ~FakeConnection() override {
        if (s_.onDestroy) {
            s_.onDestroy();
        }
    }
    std::error_code open() override {
        s_.opened.push_back(t_);
        return s_.succeed(t_, static_cast<int>(s_.opened.size())) ? std::error_code{}
                                                                   : std::error_code{1, std::system_category()};
    }
    void startRead() override {}
    void write(uint8_t* data, uint64_t size) override {
        MallocBuffer owned(data);
        s_.written.emplace_back(reinterpret_cast<char*>(data), size);
    }
    RawStreamData extractData(std::size_t) override { return {}; }
    Transport t_;
    Shared& s_;
};

VirtualMachineService::Options fakeOptions(FakeConnection::Shared& shared, bool unitInstalled) {
    VirtualMachineService::Options o;
    o.unitCheckCommand = unitInstalled ? "true" : "false";
    o.shmPresencePath = "/nonexistent/czs-test-object";
    o.waitDeadline = std::chrono::milliseconds(300);
    o.presencePoll = std::chrono::milliseconds(20);
    o.retryPause = std::chrono::milliseconds(50);
    o.makeConnection = [&shared](Transport t, asio::io_context&, ConnectionBase::DataCallback cb) {
        return std::make_unique<FakeConnection>(t, shared, std::move(cb));
    };
    return o;
}

TEST(VirtualMachineServiceOpen, TriesSharedMemoryThenSerialInEveryCycleUntilOneOpens) {
    asio::io_context io;
    FakeConnection::Shared shared;
    shared.succeed = [](Transport t, int attempt) { return t == Transport::Serial && attempt == 6; };
    PrintFileRegistry registry;
    VirtualMachineService vm(io, fakeOptions(shared, false), registry);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(vm.open(), 0);
    auto elapsed = std::chrono::steady_clock::now() - t0;
    std::vector<Transport> expected = {Transport::SharedMemory, Transport::Serial, Transport::SharedMemory,
                                       Transport::Serial,       Transport::SharedMemory, Transport::Serial};
    EXPECT_EQ(shared.opened, expected);
    // Two pauses between the three cycles, and no waiting for the object.
    EXPECT_GE(elapsed, std::chrono::milliseconds(100));
    EXPECT_LT(elapsed, std::chrono::milliseconds(300));
}

TEST(VirtualMachineServiceOpen, WithTheUnitInstalledItWaitsForTheObjectUntilTheDeadlineOnly) {
    asio::io_context io;
    FakeConnection::Shared shared;
    shared.succeed = [](Transport, int attempt) { return attempt == 3; };
    PrintFileRegistry registry;
    VirtualMachineService vm(io, fakeOptions(shared, true), registry);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(vm.open(), 0);
    auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(shared.opened.size(), 3u);
    // About the 300 ms deadline, then one 50 ms retry pause; the wait is not repeated.
    EXPECT_GE(elapsed, std::chrono::milliseconds(340));
    EXPECT_LT(elapsed, std::chrono::milliseconds(800));
}

TEST(VirtualMachineServiceOpen, TheObjectAppearingEndsTheWaitAndSharedMemoryIsTriedFirst) {
    char dir[] = "/tmp/czs_vm_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string object = std::string(dir) + "/obj";
    asio::io_context io;
    FakeConnection::Shared shared;
    shared.succeed = [](Transport t, int) { return t == Transport::SharedMemory; };
    auto o = fakeOptions(shared, true);
    o.shmPresencePath = object;
    o.waitDeadline = std::chrono::seconds(10);
    PrintFileRegistry registry;
    VirtualMachineService vm(io, o, registry);
    std::thread creator([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        FILE* f = std::fopen(object.c_str(), "w");
        std::fclose(f);
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(vm.open(), 0);
    auto elapsed = std::chrono::steady_clock::now() - t0;
    creator.join();
    EXPECT_EQ(shared.opened, std::vector<Transport>{Transport::SharedMemory});
    EXPECT_GE(elapsed, std::chrono::milliseconds(150));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
    std::remove(object.c_str());
    rmdir(dir);
}

// A handler that notes when it is gone.
struct TrackedHandler : HandlerBase {
    explicit TrackedHandler(std::atomic<bool>& alive) : alive_(alive) { alive_ = true; }
    ~TrackedHandler() override { alive_ = false; }
    Reply handle(const RawStreamData&) override { return {}; }
    std::atomic<bool>& alive_;
};

TEST(VirtualMachineServiceLifetime, TheHostConnectionStopsBeforeTheHandlerGoes) {
    asio::io_context io;
    FakeConnection::Shared shared;
    shared.succeed = [](Transport, int) { return true; };
    std::atomic<bool> handlerAlive{false};
    bool aliveWhenConnectionWent = false;
    shared.onDestroy = [&] { aliveWhenConnectionWent = handlerAlive; };
    {
        PrintFileRegistry registry;
        VirtualMachineService vm(io, fakeOptions(shared, false), registry,
                                 std::make_unique<TrackedHandler>(handlerAlive));
        ASSERT_EQ(vm.open(), 0);
    }
    EXPECT_TRUE(aliveWhenConnectionWent);
    EXPECT_FALSE(handlerAlive);
}

TEST(CupsZefaServiceFlow, AHostRequestIsAnsweredOnTheSameConnectionAndBadBackendLinesSendNothing) {
    test::LogCapture log;
    asio::io_context io;
    FakeConnection::Shared shared;
    shared.succeed = [](Transport t, int) { return t == Transport::SharedMemory; };
    CupsZefaService::Options o;
    o.host = fakeOptions(shared, false);
    o.backendPort = 0;
    CupsZefaService service(io, o);
    ASSERT_EQ(service.openHostChannel(), 0);
    ASSERT_EQ(service.openBackendSocket(), 0);

    // Host side: the discovery notification is answered through the host connection.
    // base64 of {"context":"cups","method":"discovery","type":"notification"}
    shared.deliver(test::frame("eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6ImRpc2NvdmVyeSIsInR5cGUiOiJub3RpZmljYXRpb24ifQ=="));
    ASSERT_EQ(shared.written.size(), 1u);
    EXPECT_EQ(shared.written[0].size(), 89u);

    // Backend side: garbage, two values and a type error reach nobody.
    asio::ip::tcp::socket s(io);
    s.connect({asio::ip::make_address("127.0.0.1"), service.backend().connection().boundPort()});
    asio::write(s, asio::buffer(std::string("nonsense\n{} {}\n{\"abspath\":[1]}\n")));
    for (int i = 0; i < 50 && log.count("[SocketHandler]:[handle]") < 3; ++i) {
        io.restart();
        io.run_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(log.count("[SocketHandler]:[handle]: Error while parsing JSON\n"), 2u);
    EXPECT_EQ(log.count("[SocketHandler]:[handle]: announcement dropped, exception: "), 1u);
    EXPECT_EQ(shared.written.size(), 1u);
}

TEST(CupsZefaServiceFlow, TheBackendPortInUseMakesTheBackendOpenFail) {
    test::LogCapture log;
    asio::io_context io;
    asio::ip::tcp::acceptor holder(io, {asio::ip::make_address("127.0.0.1"), 0});
    CupsZefaService::Options o;
    o.backendPort = holder.local_endpoint().port();
    o.backendBindWait = std::chrono::milliseconds(300);
    CupsZefaService service(io, o);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(service.openBackendSocket(), 0);
    // A restarted daemon's predecessor gets a moment to let the port go.
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    EXPECT_EQ(log.count("[SocketConnection]:[open]: bind failed\n"), 1u);
}

}  // namespace
}  // namespace czs
