// Feeds arbitrary bytes to the host-channel converter (frame decode, then
// message parse). Besides crashes, hangs and leaks it checks two invariants:
// a frame the decoder accepts re-serialises to exactly the same bytes, and a
// message the parser accepts survives a serialise/parse round trip unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <liblog/logs_cli.h>
#include <runtime/LogSinks.h>

#include "protocol/PrintProtocolFrame.h"
#include "protocol/PrintProtocolJsonMsg.h"
#include "protocol/RawStreamDataConverter.h"
#include "protocol/Reply.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The converter logs every rejected buffer; keep the fuzzer's output readable.
    static char path[] = "/dev/null";
    log_config config;
    log_config_defaults(&config);
    config.path = path;
    config.max_size = 0;
    log_open(&config);
    static orv::LiblogFileSink sink;  // the daemon's lines into that file
    orv::setLogSink(&sink);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace czs;
    static const auto converter = makeRawStreamDataConverter();

    const RawStreamData input(data, data + size);
    const ConversionResult result = converter->convertToProtocolJsonMsg(input);
    const auto status = static_cast<int32_t>(result.status);
    if (status < 0 || status > 2) std::abort();

    try {
        const PrintProtocolFrame frame(input.data(), input.size());
        PrintProtocolFrame again(frame.getType());
        again.resetCrc();
        again.setPayload(frame.getPayload(), frame.getPayloadLen());
        uint8_t* buffer = nullptr;
        uint64_t built = 0;
        again.serialize(buffer, built);
        const Reply owner = Reply::adopt(buffer, built);
        if (owner.size() != size || std::memcmp(owner.data(), data, size) != 0) std::abort();
        if ((frame.getType() == 4) != (result.status != ConversionStatus::NoMessage)) std::abort();
    } catch (const PrintProtocolFrame::PrintProtocolFrameException& e) {
        if (result.status != ConversionStatus::Error) std::abort();
        // Every rejection names a check that exists and says something.
        if (e.error() == PrintProtocolFrameError::NoError || e.error() == PrintProtocolFrameError::Unknown)
            std::abort();
        if (e.what() == nullptr || e.what()[0] == '\0') std::abort();
    }

    if (result.status == ConversionStatus::Message) {
        const auto payload = result.message.serialize();
        const PrintProtocolJsonMsg reparsed(payload.data(), static_cast<uint32_t>(payload.size()));
        if (reparsed.getJson() != result.message.getJson()) std::abort();
        if (reparsed.getMethod() != result.message.getMethod() || reparsed.getType() != result.message.getType())
            std::abort();
    }
    return 0;
}
