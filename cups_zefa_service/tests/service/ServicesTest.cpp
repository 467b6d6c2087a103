#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "support/FrameBytes.h"
#include "support/LogCapture.h"
#include "service/CupsZefaService.h"
#include "service/VirtualMachineService.h"

namespace czs {
namespace {

// A host transport that records what it is asked to do.
struct FakeConnection : ConnectionBase {
    struct Shared {
        std::vector<HostTransport> opened;
        std::vector<bool> logged;  // logOpen of each attempt
        std::vector<std::string> written;
        std::function<bool(HostTransport, int attempt)> succeed = [](HostTransport, int) { return false; };
        std::function<void()> onDestroy;
        Callbacks callbacks;
    };
    FakeConnection(HostTransport t, Shared& s, Callbacks cb, bool logOpen) : t_(t), s_(s) {
        s_.callbacks = std::move(cb);
        s_.logged.push_back(logOpen);
    }
    ~FakeConnection() override {
        if (s_.onDestroy) {
            s_.onDestroy();
        }
    }
    orv::Result<void> open() override {
        s_.opened.push_back(t_);
        if (s_.succeed(t_, static_cast<int>(s_.opened.size()))) return {};
        return orv::Error::fromErrno(ENOENT, "open");
    }
    void write(Reply reply, WriteDone done) override {
        std::string image(static_cast<std::size_t>(reply.size()), '\0');
        reply.take(std::span(reinterpret_cast<uint8_t*>(image.data()), image.size()));
        s_.written.push_back(std::move(image));
        if (done) done(true);
    }
    HostTransport t_;
    Shared& s_;
};

VirtualMachineService::Options fakeOptions(FakeConnection::Shared& shared, bool unitInstalled) {
    VirtualMachineService::Options o;
    o.unitCheckCommand = unitInstalled ? "true" : "false";
    o.shmPresencePath = "/nonexistent/czs-test-object";
    o.waitDeadline = std::chrono::milliseconds(300);
    o.presencePoll = std::chrono::milliseconds(20);
    o.retryPause = std::chrono::milliseconds(50);
    o.makeConnection = [&shared](HostTransport t, asio::io_context&, ConnectionBase::Callbacks cb, bool logOpen) {
        return std::make_unique<FakeConnection>(t, shared, std::move(cb), logOpen);
    };
    return o;
}

// The whole service over a fake host channel that opens only as shared
// memory (no unit installed), its backend socket on an ephemeral port.
CupsZefaService::Options overSharedMemory(FakeConnection::Shared& shared) {
    shared.succeed = [](HostTransport t, int) { return t == HostTransport::SharedMemory; };
    CupsZefaService::Options o;
    o.host = fakeOptions(shared, false);
    o.backendPort = 0;
    return o;
}

// What the service owns and lends to the host side.
struct Owned {
    PrintFileRegistry registry;
    DaemonConfig config;
};

// Runs the loop until `done` holds or `limit` passes; returns the time taken.
template <typename Pred>
std::chrono::steady_clock::duration runUntil(asio::io_context& io, Pred done,
                                             std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto t0 = std::chrono::steady_clock::now();
    while (!done() && std::chrono::steady_clock::now() - t0 < limit) {
        io.restart();
        io.run_for(std::chrono::milliseconds(5));
    }
    return std::chrono::steady_clock::now() - t0;
}

TEST(VirtualMachineServiceOpen, TriesSharedMemoryThenSerialInEveryCycleFromTheLoopUntilOneOpens) {
    test::LogCapture log;
    asio::io_context io;
    Owned owned;
    FakeConnection::Shared shared;
    shared.succeed = [](HostTransport t, int attempt) { return t == HostTransport::SerialPort && attempt == 6; };
    VirtualMachineService vm(io, owned.registry, owned.config, nullptr, fakeOptions(shared, false));
    // The first cycle runs inside open(), which returns at once: the rest of
    // the wait belongs to the loop.
    EXPECT_EQ(vm.open(), 0);
    EXPECT_EQ(shared.opened.size(), 2u);
    EXPECT_FALSE(vm.transport());
    auto elapsed = runUntil(io, [&] { return vm.transport().has_value(); });
    ASSERT_EQ(vm.transport(), HostTransport::SerialPort);
    std::vector<HostTransport> expected = {HostTransport::SharedMemory, HostTransport::SerialPort,
                                           HostTransport::SharedMemory, HostTransport::SerialPort,
                                           HostTransport::SharedMemory, HostTransport::SerialPort};
    EXPECT_EQ(shared.opened, expected);
    // Two pauses between the three cycles, and no waiting for the object.
    EXPECT_GE(elapsed, std::chrono::milliseconds(100));
    // Only the first cycle tells what it tried; the wait itself is one line
    // when it starts and one when a channel appears.
    EXPECT_EQ(shared.logged, (std::vector<bool>{true, true, false, false, false, false}));
    EXPECT_EQ(log.count("[VirtualMachineService]:[open]: waiting for the host channel (shared memory "
                        "'/nonexistent/czs-test-object' or serial port '/dev/virtio-ports/orvanta.Printer.0')\n"),
              1u);
    EXPECT_EQ(log.count("[VirtualMachineService]:[open]: host channel open over the serial port\n"), 1u);
}

TEST(VirtualMachineServiceOpen, AChannelOpenAtOnceLogsNoWait) {
    test::LogCapture log;
    asio::io_context io;
    Owned owned;
    FakeConnection::Shared shared;
    shared.succeed = [](HostTransport t, int) { return t == HostTransport::SharedMemory; };
    VirtualMachineService vm(io, owned.registry, owned.config, nullptr, fakeOptions(shared, false));
    EXPECT_EQ(vm.open(), 0);
    EXPECT_EQ(vm.transport(), HostTransport::SharedMemory);
    EXPECT_EQ(log.count("waiting for the host channel"), 0u);
    EXPECT_EQ(log.count("host channel open over"), 0u);
}

TEST(VirtualMachineServiceOpen, WithTheUnitInstalledItWaitsForTheObjectUntilTheDeadlineOnly) {
    asio::io_context io;
    Owned owned;
    FakeConnection::Shared shared;
    shared.succeed = [](HostTransport, int attempt) { return attempt == 3; };
    VirtualMachineService vm(io, owned.registry, owned.config, nullptr, fakeOptions(shared, true));
    EXPECT_EQ(vm.open(), 0);
    EXPECT_TRUE(shared.opened.empty());  // still waiting for the object
    auto elapsed = runUntil(io, [&] { return vm.transport().has_value(); });
    EXPECT_EQ(shared.opened.size(), 3u);
    // About the 300 ms deadline, then one 50 ms retry pause; the wait is not repeated.
    EXPECT_GE(elapsed, std::chrono::milliseconds(320));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1500));
}

TEST(VirtualMachineServiceOpen, TheObjectAppearingEndsTheWaitAndSharedMemoryIsTriedFirst) {
    char dir[] = "/tmp/czs_vm_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string object = std::string(dir) + "/obj";
    asio::io_context io;
    Owned owned;
    FakeConnection::Shared shared;
    shared.succeed = [](HostTransport t, int) { return t == HostTransport::SharedMemory; };
    auto o = fakeOptions(shared, true);
    o.shmPresencePath = object;
    o.waitDeadline = std::chrono::seconds(10);
    VirtualMachineService vm(io, owned.registry, owned.config, nullptr, o);
    asio::steady_timer create(io, std::chrono::milliseconds(150));
    create.async_wait([&](const std::error_code&) { std::fclose(std::fopen(object.c_str(), "w")); });
    EXPECT_EQ(vm.open(), 0);
    auto elapsed = runUntil(io, [&] { return vm.transport().has_value(); });
    EXPECT_EQ(shared.opened, std::vector<HostTransport>{HostTransport::SharedMemory});
    EXPECT_GE(elapsed, std::chrono::milliseconds(140));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
    std::remove(object.c_str());
    rmdir(dir);
}

TEST(VirtualMachineServiceOpen, StoppingTheLoopDuringTheWaitEndsItAtOnceAndDestructionCancelsTheRetry) {
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    Owned owned;
    FakeConnection::Shared shared;
    auto o = fakeOptions(shared, false);
    o.retryPause = std::chrono::seconds(3);
    {
        VirtualMachineService vm(io, owned.registry, owned.config, nullptr, o);
        vm.open();
        // What a SIGTERM does: the loop is stopped from a handler on it.
        asio::steady_timer term(io, std::chrono::milliseconds(20));
        term.async_wait([&](const std::error_code&) { io.stop(); });
        auto t0 = std::chrono::steady_clock::now();
        io.run();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    }
    // The pending retry must not touch the destroyed service.
    io.restart();
    io.run_for(std::chrono::milliseconds(20));
    EXPECT_EQ(shared.opened.size(), 2u);
}

// A handler that notes when it is gone, and for which transport it was built.
struct TrackedHandler : HandlerBase {
    explicit TrackedHandler(std::atomic<int>& alive) : alive_(alive) { ++alive_; }
    ~TrackedHandler() override { --alive_; }
    Reply handle(const RawStreamData&) override { return {}; }
    std::atomic<int>& alive_;
};

TEST(VirtualMachineServiceLifetime, TheHostConnectionStopsBeforeTheHandlerGoesAndTheHandlerKnowsTheTransport) {
    asio::io_context io;
    Owned owned;
    FakeConnection::Shared shared;
    shared.succeed = [](HostTransport t, int) { return t == HostTransport::SerialPort; };
    std::atomic<int> handlerAlive{0};
    std::vector<HostTransport> builtFor;
    bool aliveWhenConnectionWent = false;
    auto o = fakeOptions(shared, false);
    o.makeHandler = [&](HostTransport t) {
        builtFor.push_back(t);
        return std::make_unique<TrackedHandler>(handlerAlive);
    };
    {
        VirtualMachineService vm(io, owned.registry, owned.config, nullptr, o);
        ASSERT_EQ(vm.open(), 0);
        // Only the transport that opened has its handler at the end.
        EXPECT_EQ(builtFor, (std::vector<HostTransport>{HostTransport::SharedMemory, HostTransport::SerialPort}));
        EXPECT_EQ(handlerAlive.load(), 1);
        shared.onDestroy = [&] { aliveWhenConnectionWent = handlerAlive.load() == 1; };
    }
    EXPECT_TRUE(aliveWhenConnectionWent);
    EXPECT_EQ(handlerAlive.load(), 0);
}

TEST(VirtualMachineServiceSend, WithoutAChannelTheFrameIsDroppedWithItsLineAndDoneFalse) {
    test::LogCapture log;
    asio::io_context io;
    Owned owned;
    FakeConnection::Shared shared;
    VirtualMachineService vm(io, owned.registry, owned.config, nullptr, fakeOptions(shared, false));
    vm.open();  // nothing opens
    int calls = 0;
    bool result = true;
    auto f = test::frame("announce");
    uint8_t* image = static_cast<uint8_t*>(std::malloc(f.size()));
    std::memcpy(image, f.data(), f.size());
    vm.send(Reply::adopt(image, f.size()), [&](bool written) {
        ++calls;
        result = written;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(result);
    EXPECT_TRUE(shared.written.empty());
}

TEST(CupsZefaServiceFlow, AHostRequestIsAnsweredOnTheSameConnectionAndBadBackendLinesSendNothing) {
    test::LogCapture log;
    asio::io_context io;
    FakeConnection::Shared shared;
    CupsZefaService service(io, DaemonConfig{}, overSharedMemory(shared));
    ASSERT_EQ(service.openHostChannel(), 0);
    ASSERT_EQ(service.openBackendSocket(), 0);

    // Host side: the discovery notification is answered through the host connection.
    // base64 of {"context":"cups","method":"discovery","type":"notification"}
    shared.callbacks.onFrame(
        test::frame("eyJjb250ZXh0IjoiY3VwcyIsIm1ldGhvZCI6ImRpc2NvdmVyeSIsInR5cGUiOiJub3RpZmljYXRpb24ifQ=="));
    ASSERT_EQ(shared.written.size(), 1u);
    EXPECT_EQ(shared.written[0].size(), 89u);

    // Backend side: garbage, two values and a type error reach nobody.
    asio::ip::tcp::socket s(io);
    s.connect({asio::ip::make_address("127.0.0.1"), service.backend().connection().boundPort()});
    asio::write(s, asio::buffer(std::string("nonsense\n{} {}\n{\"abspath\":[1]}\n")));
    runUntil(io, [&] { return log.count("[SocketHandler]:[handle]") >= 3; });
    EXPECT_EQ(log.count("[SocketHandler]:[handle]: Error while parsing JSON\n"), 2u);
    EXPECT_EQ(log.count("[SocketHandler]:[handle]: announcement dropped, exception: "), 1u);
    EXPECT_EQ(shared.written.size(), 1u);
}

TEST(CupsZefaServiceFlow, TheHostChannelClosingEndsTheLoopAsACleanStop) {
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    FakeConnection::Shared shared;
    CupsZefaService service(io, DaemonConfig{}, overSharedMemory(shared));
    ASSERT_EQ(service.openHostChannel(), 0);
    // Reported from another thread, as the shared-memory client does.
    std::thread client([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        shared.callbacks.onClosed();
    });
    auto t0 = std::chrono::steady_clock::now();
    io.run();
    client.join();
    EXPECT_TRUE(io.stopped());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

TEST(CupsZefaServiceFlow, TheBackendPortInUseMakesTheBackendOpenFail) {
    test::LogCapture log;
    asio::io_context io;
    asio::ip::tcp::acceptor holder(io, {asio::ip::make_address("127.0.0.1"), 0});
    CupsZefaService::Options o;
    o.backendPort = holder.local_endpoint().port();
    o.backendBindWait = std::chrono::milliseconds(300);
    CupsZefaService service(io, DaemonConfig{}, o);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(service.openBackendSocket(), 0);
    // A restarted daemon's predecessor gets a moment to let the port go.
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    EXPECT_EQ(log.count("[SocketConnection]:[open]: bind failed\n"), 1u);
}

}  // namespace
}  // namespace czs
