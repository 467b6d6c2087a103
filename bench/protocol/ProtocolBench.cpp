// Print protocol throughput: our base64 (as dispatched, and with the table and
// AVX2 kernels pinned) against OpenSSL's block coder, and the
// two message paths of a 1 MiB chunk response, with their steps measured one
// by one so the slowest is visible. Figures are bytes of the 1 MiB chunk.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "protocol/Base64.h"
#include "protocol/Base64Kernels.h"
#include "protocol/PrintProtocolFrame.h"
#include "protocol/PrintProtocolJsonMsg.h"
#include "protocol/RawStreamDataConverter.h"
#include "protocol/Reply.h"

namespace {

using namespace czs;

constexpr size_t kChunk = 1 << 20;

const std::vector<uint8_t>& chunkBytes() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b(kChunk);
        std::mt19937 rng(42);
        for (auto& x : b)
            x = static_cast<uint8_t>(rng());
        return b;
    }();
    return bytes;
}

const std::string& chunkText() {
    static const std::string text = base64::encode(chunkBytes());
    return text;
}

nlohmann::json responseData() {
    return nlohmann::json{
        {"chunk", chunkText()}, {"id", "0b7f2a1c-3d4e-4f50-8a6b-7c8d9e0f1a2b"}, {"offset", 0}, {"size", kChunk}};
}

Reply buildFrame(const std::vector<uint8_t>& payload) {
    PrintProtocolFrame frame(4);
    frame.resetCrc();
    frame.setPayload(payload.data(), static_cast<uint32_t>(payload.size()));
    uint8_t* buf = nullptr;
    uint64_t size = 0;
    frame.serialize(buf, size);
    return Reply::adopt(buf, size);
}

const RawStreamData& responseFrame() {
    static const RawStreamData frame = [] {
        PrintProtocolJsonMsg msg(kMethodSendFile, kMsgTypeResponse);
        msg.setField("data", responseData());
        const Reply r = buildFrame(msg.serialize());
        return RawStreamData(r.data(), r.data() + r.size());
    }();
    return frame;
}

void setBytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kChunk));
}

// --- base64, 1 MiB ---------------------------------------------------------

// Pins one kernel for a benchmark's run and restores the dispatcher's choice
// after it; pinning each in turn keeps the table kernel's figure visible on a
// CPU where the dispatcher would always pick a vector one.
class KernelPin {
public:
    explicit KernelPin(base64::detail::Kernel which)
        : saved_(base64::detail::activeKernel()), ok_(base64::detail::useKernel(which)) {}
    ~KernelPin() { base64::detail::useKernel(saved_); }
    bool ok() const { return ok_; }

private:
    base64::detail::Kernel saved_;
    bool ok_;
};

void encodeLoop(benchmark::State& state) {
    const auto& in = chunkBytes();
    std::string out(base64::encodedSize(in.size()), '\0');
    for (auto _ : state) {
        base64::encode(in, std::span<char>(out));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    setBytes(state);
}

void BM_Base64Encode_Ours(benchmark::State& state) {
    encodeLoop(state);
}
BENCHMARK(BM_Base64Encode_Ours);

void BM_Base64Encode_Pinned(benchmark::State& state, base64::detail::Kernel which) {
    KernelPin pin(which);
    if (!pin.ok()) {
        state.SkipWithError("encoder not supported on this CPU");
        return;
    }
    encodeLoop(state);
}
BENCHMARK_CAPTURE(BM_Base64Encode_Pinned, Table, base64::detail::Kernel::Scalar);
BENCHMARK_CAPTURE(BM_Base64Encode_Pinned, Avx2, base64::detail::Kernel::Avx2);
BENCHMARK_CAPTURE(BM_Base64Encode_Pinned, Avx512Vbmi, base64::detail::Kernel::Avx512Vbmi);

// The chunk path's shape: 1 MiB encoded in 48 KiB steps, each step's text
// fed to a StreamEncoder (the frame payload), as the chunk sender does.
void BM_Base64EncodeTwice_Stream(benchmark::State& state) {
    constexpr size_t kStep = 3 * 16 * 1024;
    const auto& in = chunkBytes();
    std::string payload(base64::encodedSize(base64::encodedSize(in.size())), '\0');
    std::string chars(base64::encodedSize(kStep), '\0');
    for (auto _ : state) {
        base64::StreamEncoder enc{std::span<char>(payload)};
        for (size_t at = 0; at < in.size(); at += kStep) {
            const size_t n = std::min(kStep, in.size() - at);
            base64::encode(std::span(in).subspan(at, n), std::span<char>(chars));
            enc.update(std::span(reinterpret_cast<const uint8_t*>(chars.data()), base64::encodedSize(n)));
        }
        benchmark::DoNotOptimize(enc.finish());
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_Base64EncodeTwice_Stream);

void BM_Base64Encode_OpenSSL(benchmark::State& state) {
    const auto& in = chunkBytes();
    std::vector<unsigned char> out(base64::encodedSize(in.size()) + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), in.data(), static_cast<int>(in.size())));
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_Base64Encode_OpenSSL);

void decodeLoop(benchmark::State& state) {
    const auto& text = chunkText();
    std::vector<uint8_t> out;
    out.reserve(kChunk);
    for (auto _ : state) {
        benchmark::DoNotOptimize(base64::decode(text, out));
        benchmark::ClobberMemory();
    }
    setBytes(state);
}

void BM_Base64Decode_Ours(benchmark::State& state) {
    decodeLoop(state);
}
BENCHMARK(BM_Base64Decode_Ours);

void BM_Base64Decode_Pinned(benchmark::State& state, base64::detail::Kernel which) {
    KernelPin pin(which);
    if (!pin.ok()) {
        state.SkipWithError("kernel not supported on this CPU");
        return;
    }
    decodeLoop(state);
}
BENCHMARK_CAPTURE(BM_Base64Decode_Pinned, Table, base64::detail::Kernel::Scalar);
BENCHMARK_CAPTURE(BM_Base64Decode_Pinned, Avx2, base64::detail::Kernel::Avx2);

void BM_Base64Decode_OpenSSL(benchmark::State& state) {
    const auto& text = chunkText();
    std::vector<unsigned char> out(text.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                                 static_cast<int>(text.size())));
        benchmark::ClobberMemory();
    }
    setBytes(state);
}
BENCHMARK(BM_Base64Decode_OpenSSL);

// --- receive path: frame carrying a 1 MiB chunk response -> message ----------

void BM_ChunkResponse_DecodeParse(benchmark::State& state) {
    const auto converter = makeRawStreamDataConverter();
    const auto& frame = responseFrame();
    for (auto _ : state) {
        ConversionResult r = converter->convertToProtocolJsonMsg(frame);
        if (r.status != ConversionStatus::Message) state.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(r);
    }
    setBytes(state);
}
BENCHMARK(BM_ChunkResponse_DecodeParse);

void BM_Step_FrameDecode(benchmark::State& state) {
    const auto& frame = responseFrame();
    for (auto _ : state) {
        PrintProtocolFrame f(frame.data(), frame.size());
        benchmark::DoNotOptimize(f.getPayload());
    }
    setBytes(state);
}
BENCHMARK(BM_Step_FrameDecode);

void BM_Step_PayloadBase64Decode(benchmark::State& state) {
    const auto& frame = responseFrame();
    std::vector<uint8_t> text;
    for (auto _ : state) {
        base64::decode(std::span(frame).subspan(10, frame.size() - 13), text);
        benchmark::DoNotOptimize(text.data());
    }
    setBytes(state);
}
BENCHMARK(BM_Step_PayloadBase64Decode);

void BM_Step_JsonParse(benchmark::State& state) {
    const auto& frame = responseFrame();
    std::vector<uint8_t> text;
    base64::decode(std::span(frame).subspan(10, frame.size() - 13), text);
    for (auto _ : state) {
        auto j = nlohmann::json::parse(text.begin(), text.end());
        benchmark::DoNotOptimize(j);
    }
    setBytes(state);
}
BENCHMARK(BM_Step_JsonParse);

// --- send path: 1 MiB chunk -> response message -> frame --------------------

void BM_ChunkResponse_BuildSerialise(benchmark::State& state) {
    const auto& chunk = chunkBytes();
    for (auto _ : state) {
        nlohmann::json data{{"chunk", base64::encode(chunk)},
                            {"id", "0b7f2a1c-3d4e-4f50-8a6b-7c8d9e0f1a2b"},
                            {"offset", 0},
                            {"size", kChunk}};
        PrintProtocolJsonMsg msg(kMethodSendFile, kMsgTypeResponse);
        msg.setField("data", std::move(data));
        Reply r = buildFrame(msg.serialize());
        benchmark::DoNotOptimize(r.data());
    }
    setBytes(state);
}
BENCHMARK(BM_ChunkResponse_BuildSerialise);

void BM_Step_JsonDump(benchmark::State& state) {
    PrintProtocolJsonMsg msg(kMethodSendFile, kMsgTypeResponse);
    msg.setField("data", responseData());
    for (auto _ : state) {
        std::string text = msg.jsonValue().dump();
        benchmark::DoNotOptimize(text.data());
    }
    setBytes(state);
}
BENCHMARK(BM_Step_JsonDump);

void BM_Step_MessageSerialize(benchmark::State& state) {
    PrintProtocolJsonMsg msg(kMethodSendFile, kMsgTypeResponse);
    msg.setField("data", responseData());
    for (auto _ : state) {
        auto payload = msg.serialize();
        benchmark::DoNotOptimize(payload.data());
    }
    setBytes(state);
}
BENCHMARK(BM_Step_MessageSerialize);

void BM_Step_FrameBuild(benchmark::State& state) {
    PrintProtocolJsonMsg msg(kMethodSendFile, kMsgTypeResponse);
    msg.setField("data", responseData());
    const auto payload = msg.serialize();
    for (auto _ : state) {
        Reply r = buildFrame(payload);
        benchmark::DoNotOptimize(r.data());
    }
    setBytes(state);
}
BENCHMARK(BM_Step_FrameBuild);

}  // namespace

BENCHMARK_MAIN();
