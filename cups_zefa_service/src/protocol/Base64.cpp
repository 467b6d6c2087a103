#include "protocol/Base64.h"

#include <array>
#include <cassert>
#include <atomic>
#include <cstring>

#include "protocol/Base64Kernels.h"

namespace czs::base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters per 12 input bits: half the lookups of a per-sextet
// table, which is what keeps encoding ahead of a plain table coder.
struct PairTable {
    std::array<char, 8192> chars{};
    constexpr PairTable() {
        for (int i = 0; i < 4096; ++i) {
            chars[2 * i] = kAlphabet[i >> 6];
            chars[2 * i + 1] = kAlphabet[i & 63];
        }
    }
};
constexpr PairTable kPairs;

// One table per position in a group, pre-shifted, indexed by the unsigned
// byte so nothing at or above 0x80 can reach outside it. Characters outside
// the alphabet count as 64 and the sextets are added, not or-ed: damaged
// input decodes to the same garbage as it always has.
struct DecodeTables {
    std::array<uint32_t, 256> t[4]{};
    constexpr DecodeTables() {
        for (int c = 0; c < 256; ++c) {
            uint32_t v = 64;
            if (c >= 'A' && c <= 'Z')
                v = static_cast<uint32_t>(c - 'A');
            else if (c >= 'a' && c <= 'z')
                v = static_cast<uint32_t>(c - 'a' + 26);
            else if (c >= '0' && c <= '9')
                v = static_cast<uint32_t>(c - '0' + 52);
            else if (c == '+')
                v = 62;
            else if (c == '/')
                v = 63;
            else if (c == '=')
                v = 0;
            t[0][c] = v << 18;
            t[1][c] = v << 12;
            t[2][c] = v << 6;
            t[3][c] = v;
        }
    }
};
constexpr DecodeTables kDecode;

inline void encodeGroup(const uint8_t* in, char* out) {
    const uint32_t n = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, &kPairs.chars[2 * (n >> 12)], 2);
    std::memcpy(out + 2, &kPairs.chars[2 * (n & 0xFFF)], 2);
}

inline void encodeTail(const uint8_t* in, size_t n, char* out) {
    // n is 1 or 2.
    const uint32_t v = (uint32_t{in[0]} << 16) | (n == 2 ? uint32_t{in[1]} << 8 : 0u);
    out[0] = kAlphabet[(v >> 18) & 63];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = n == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out[3] = '=';
}

inline uint32_t decodeGroup(const unsigned char* in) {
    return kDecode.t[0][in[0]] + kDecode.t[1][in[1]] + kDecode.t[2][in[2]] + kDecode.t[3][in[3]];
}

}  // namespace

namespace detail {

#if !defined(CZS_BASE64_AVX2)
// Not built on this architecture; never called, since cpuHasAvx2() is false.
size_t encodeBlocksAvx2(const uint8_t*, size_t, char*) {
    return 0;
}
size_t decodeBlocksAvx2(const unsigned char*, size_t, uint8_t*) {
    return 0;
}
size_t encodeBlocksAvx512Vbmi(const uint8_t*, size_t, char*) {
    return 0;
}
#endif

void encodeScalar(const uint8_t* in, size_t n, char* out) {
    const size_t full = n / 3;
    for (size_t g = 0; g < full; ++g)
        encodeGroup(in + 3 * g, out + 4 * g);
    if (const size_t rest = n % 3; rest != 0) encodeTail(in + 3 * full, rest, out + 4 * full);
}

namespace {

void encodeAvx2(const uint8_t* in, size_t n, char* out) {
    const size_t done = encodeBlocksAvx2(in, n, out);
    encodeScalar(in + done, n - done, out + done / 3 * 4);
}

// The last bytes (fewer than 64) go through the AVX2 blocks, then the table.
void encodeAvx512Vbmi(const uint8_t* in, size_t n, char* out) {
    const size_t done = encodeBlocksAvx512Vbmi(in, n, out);
    encodeAvx2(in + done, n - done, out + done / 3 * 4);
}

size_t decodeBlocksNone(const unsigned char*, size_t, uint8_t*) {
    return 0;
}

struct Kernels {
    void (*encode)(const uint8_t*, size_t, char*);
    size_t (*decodeBlocks)(const unsigned char*, size_t, uint8_t*);
};
constexpr Kernels kScalar{&encodeScalar, &decodeBlocksNone};
constexpr Kernels kAvx2{&encodeAvx2, &decodeBlocksAvx2};
constexpr Kernels kAvx512Vbmi{&encodeAvx512Vbmi, &decodeBlocksAvx2};

bool cpuHasAvx2() {
#if defined(CZS_BASE64_AVX2)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// The check also covers the operating system's saving of the AVX-512
// registers (the compiler's run-time test reads XCR0).
bool cpuHasAvx512Vbmi() {
#if defined(CZS_BASE64_AVX2)
    __builtin_cpu_init();
    return cpuHasAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi");
#else
    return false;
#endif
}

const Kernels* kernelsFor(Kernel k) {
    switch (k) {
        case Kernel::Avx512Vbmi:
            return &kAvx512Vbmi;
        case Kernel::Avx2:
            return &kAvx2;
        case Kernel::Scalar:
            break;
    }
    return &kScalar;
}

const Kernels* bestKernels() {
    return cpuHasAvx512Vbmi() ? &kAvx512Vbmi : cpuHasAvx2() ? &kAvx2 : &kScalar;
}

// Resolved on first use (a function-local static, so a call from another
// file's static initialiser still finds it set).
std::atomic<const Kernels*>& kernelSlot() {
    static std::atomic<const Kernels*> slot{bestKernels()};
    return slot;
}

const Kernels& kernels() {
    return *kernelSlot().load(std::memory_order_relaxed);
}

}  // namespace

bool supported(Kernel k) {
    static const bool avx2 = cpuHasAvx2();
    static const bool vbmi = cpuHasAvx512Vbmi();
    return k == Kernel::Scalar || (k == Kernel::Avx2 && avx2) || (k == Kernel::Avx512Vbmi && vbmi);
}

Kernel activeKernel() {
    const Kernels* k = &kernels();
    return k == &kAvx512Vbmi ? Kernel::Avx512Vbmi : k == &kAvx2 ? Kernel::Avx2 : Kernel::Scalar;
}

bool useKernel(Kernel k) {
    if (!supported(k)) return false;
    kernelSlot().store(kernelsFor(k), std::memory_order_relaxed);
    return true;
}

}  // namespace detail

void encode(std::span<const uint8_t> in, std::span<char> out) {
    assert(out.size() >= encodedSize(in.size()));
    detail::kernels().encode(in.data(), in.size(), out.data());
}

std::string encode(std::span<const uint8_t> in) {
    std::string s(encodedSize(in.size()), '\0');
    encode(in, std::span<char>(s));
    return s;
}

void StreamEncoder::update(std::span<const uint8_t> bytes) {
    const uint8_t* in = bytes.data();
    size_t n = bytes.size();
    if (n == 0) return;
    if (carryLen_ != 0) {
        uint8_t group[3];
        size_t k = 0;
        for (; k < carryLen_; ++k)
            group[k] = carry_[k];
        size_t used = 0;
        while (k < 3 && used < n)
            group[k++] = in[used++];
        if (k < 3) {
            for (size_t i = 0; i < k; ++i)
                carry_[i] = group[i];
            carryLen_ = k;
            return;
        }
        assert(written_ + 4 <= room_);
        encodeGroup(group, out_ + written_);
        written_ += 4;
        carryLen_ = 0;
        in += used;
        n -= used;
    }
    const size_t full = n / 3 * 3;
    encode(std::span(in, full), std::span(out_ + written_, room_ - written_));
    written_ += full / 3 * 4;
    carryLen_ = n - full;
    for (size_t i = 0; i < carryLen_; ++i)
        carry_[i] = in[full + i];
}

size_t StreamEncoder::finish() {
    if (carryLen_ != 0) {
        assert(written_ + 4 <= room_);
        encodeTail(carry_, carryLen_, out_ + written_);
        written_ += 4;
        carryLen_ = 0;
    }
    return written_;
}

bool decode(std::string_view text, std::vector<uint8_t>& out) {
    const size_t n = text.size();
    if (n % 4 != 0) return false;
    out.clear();
    if (n == 0) return true;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    size_t outLen = n / 4 * 3;
    if (in[n - 1] == '=') --outLen;
    if (in[n - 2] == '=') --outLen;
    out.resize(outLen);
    uint8_t* o = out.data();
    const size_t groups = n / 4;
    // Every group but the last fills three whole bytes.
    const size_t bulk = detail::kernels().decodeBlocks(in, (groups - 1) * 4, o);
    o += bulk / 4 * 3;
    for (size_t g = bulk / 4; g + 1 < groups; ++g) {
        const uint32_t v = decodeGroup(in + 4 * g);
        o[0] = static_cast<uint8_t>(v >> 16);
        o[1] = static_cast<uint8_t>(v >> 8);
        o[2] = static_cast<uint8_t>(v);
        o += 3;
    }
    const uint32_t v = decodeGroup(in + 4 * (groups - 1));
    uint8_t* const end = out.data() + outLen;
    if (o < end) *o++ = static_cast<uint8_t>(v >> 16);
    if (o < end) *o++ = static_cast<uint8_t>(v >> 8);
    if (o < end) *o++ = static_cast<uint8_t>(v);
    return true;
}

}  // namespace czs::base64
