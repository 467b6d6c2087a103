// AVX2 base64 coder: 24 input bytes become 32 characters per step and back,
// with no table lookups and no branches per character. This file alone is built
// with -mavx2 and includes nothing else that could be inlined elsewhere, so
// no AVX2 instruction leaks into code that runs on a CPU without it.
#include <immintrin.h>

#include "protocol/Base64Kernels.h"

namespace czs::base64::detail {
namespace {

// Moves the 12 bytes of one 128-bit lane into four 32-bit words, one per
// 3-byte group, laid out as [b, a, c, b] for the group [a, b, c]: each
// 16-bit half then holds two whole sextets that the multiplies below can
// move into their own bytes. `first` is the lane's offset of its group 0.
constexpr char g(int first, int k, int i) {
    return static_cast<char>(first + 3 * k + i);
}

// Lane 0 and lane 1 both hold their 12 bytes from offset 0 (two 16-byte
// loads). The masks are built inside functions, never as namespace-scope
// objects: their initialisation would run AVX instructions at start-up,
// before anyone asked whether the CPU has them.
inline __m256i splitShuffle() {
    return _mm256_setr_epi8(g(0, 0, 1), g(0, 0, 0), g(0, 0, 2), g(0, 0, 1), g(0, 1, 1), g(0, 1, 0), g(0, 1, 2),
                            g(0, 1, 1), g(0, 2, 1), g(0, 2, 0), g(0, 2, 2), g(0, 2, 1), g(0, 3, 1), g(0, 3, 0),
                            g(0, 3, 2), g(0, 3, 1), g(0, 0, 1), g(0, 0, 0), g(0, 0, 2), g(0, 0, 1), g(0, 1, 1),
                            g(0, 1, 0), g(0, 1, 2), g(0, 1, 1), g(0, 2, 1), g(0, 2, 0), g(0, 2, 2), g(0, 2, 1),
                            g(0, 3, 1), g(0, 3, 0), g(0, 3, 2), g(0, 3, 1));
}

// One 32-byte load starting 4 bytes before the block: lane 0 holds its
// 12 bytes from offset 4, lane 1 from offset 0.
inline __m256i offsetShuffle() {
    return _mm256_setr_epi8(g(4, 0, 1), g(4, 0, 0), g(4, 0, 2), g(4, 0, 1), g(4, 1, 1), g(4, 1, 0), g(4, 1, 2),
                            g(4, 1, 1), g(4, 2, 1), g(4, 2, 0), g(4, 2, 2), g(4, 2, 1), g(4, 3, 1), g(4, 3, 0),
                            g(4, 3, 2), g(4, 3, 1), g(0, 0, 1), g(0, 0, 0), g(0, 0, 2), g(0, 0, 1), g(0, 1, 1),
                            g(0, 1, 0), g(0, 1, 2), g(0, 1, 1), g(0, 2, 1), g(0, 2, 0), g(0, 2, 2), g(0, 2, 1),
                            g(0, 3, 1), g(0, 3, 0), g(0, 3, 2), g(0, 3, 1));
}

// Words [b, a, c, b] -> bytes [i0, i1, i2, i3], the four 6-bit indices.
// Low half (a:b): i0 sits in bits 10-15, i1 in bits 4-9. High half (b:c):
// i2 in bits 6-11, i3 in bits 0-5. A high multiply shifts i0 and i2 right
// into byte 0 and byte 2; a low multiply shifts i1 and i3 left into byte 1
// and byte 3.
inline __m256i sextets(__m256i words) {
    const __m256i i0i2 =
        _mm256_mulhi_epu16(_mm256_and_si256(words, _mm256_set1_epi32(0x0FC0FC00)), _mm256_set1_epi32(0x04000040));
    const __m256i i1i3 =
        _mm256_mullo_epi16(_mm256_and_si256(words, _mm256_set1_epi32(0x003F03F0)), _mm256_set1_epi32(0x01000010));
    return _mm256_or_si256(i0i2, i1i3);
}

// Index -> character by adding a per-range offset. The ranges are told
// apart by a small key: 0 for 26-51 ('a'..'z'), 1-10 for 52-61 ('0'..'9'),
// 11 for 62 ('+'), 12 for 63 ('/'), 13 for 0-25 ('A'..'Z').
inline __m256i characters(__m256i idx) {
    __m256i key = _mm256_subs_epu8(idx, _mm256_set1_epi8(51));
    const __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), idx);
    key = _mm256_or_si256(key, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
    const __m256i offsets = _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0,
                                             'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    return _mm256_add_epi8(idx, _mm256_shuffle_epi8(offsets, key));
}

inline void store(char* out, __m256i words) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), characters(sextets(words)));
}

}  // namespace

size_t encodeBlocksAvx2(const uint8_t* in, size_t n, char* out) {
    // Every step reads the 28 bytes [at - 4, at + 24) or [at, at + 28):
    // a block is encoded only while 28 bytes remain, so no load passes the
    // end of the input; the rest goes to the table encoder.
    constexpr size_t kReach = 28;
    if (n < kReach) return 0;
    const __m256i kSplitShuffle = splitShuffle();
    const __m256i kOffsetShuffle = offsetShuffle();
    size_t at = 0;
    {
        // The first block cannot look 4 bytes back: two 16-byte loads.
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
        store(out, _mm256_shuffle_epi8(_mm256_set_m128i(hi, lo), kSplitShuffle));
        at = 24;
        out += 32;
    }
    for (; n - at >= 24 + kReach; at += 48, out += 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + at - 4));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + at + 20));
        store(out, _mm256_shuffle_epi8(a, kOffsetShuffle));
        store(out + 32, _mm256_shuffle_epi8(b, kOffsetShuffle));
    }
    for (; n - at >= kReach; at += 24, out += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + at - 4));
        store(out, _mm256_shuffle_epi8(a, kOffsetShuffle));
    }
    return at;
}

namespace {

// Bytes of c within [lo, hi]. Compares are signed, so bytes of 0x80 and
// above are negative and fall outside every range.
inline __m256i within(__m256i c, char lo, char hi) {
    return _mm256_and_si256(_mm256_cmpgt_epi8(c, _mm256_set1_epi8(static_cast<char>(lo - 1))),
                            _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(hi + 1)), c));
}

inline __m256i is(__m256i c, char x) {
    return _mm256_cmpeq_epi8(c, _mm256_set1_epi8(x));
}

inline __m256i when(__m256i mask, int value) {
    return _mm256_and_si256(mask, _mm256_set1_epi8(static_cast<char>(value)));
}

// Character -> value with the table decoder's lenient rules: the alphabet
// gives 0-63, "=" gives 0, every other byte 64. The masks are disjoint, so
// the per-range offsets can be or-ed together.
inline __m256i values(__m256i c) {
    const __m256i upper = within(c, 'A', 'Z');
    const __m256i lower = within(c, 'a', 'z');
    const __m256i digit = within(c, '0', '9');
    const __m256i plus = is(c, '+');
    const __m256i slash = is(c, '/');
    const __m256i pad = is(c, '=');
    const __m256i offset = _mm256_or_si256(
        _mm256_or_si256(_mm256_or_si256(when(upper, -'A'), when(lower, 26 - 'a')), when(digit, 52 - '0')),
        _mm256_or_si256(_mm256_or_si256(when(plus, 62 - '+'), when(slash, 63 - '/')), when(pad, -'=')));
    const __m256i known = _mm256_or_si256(_mm256_or_si256(_mm256_or_si256(upper, lower), digit),
                                          _mm256_or_si256(_mm256_or_si256(plus, slash), pad));
    return _mm256_blendv_epi8(_mm256_set1_epi8(64), _mm256_add_epi8(c, offset), known);
}

}  // namespace

size_t decodeBlocksAvx2(const unsigned char* in, size_t n, uint8_t* out) {
    // Per 32-bit word, the four values v0..v3 (each at most 64) are summed
    // as v0<<18 + v1<<12 + v2<<6 + v3, which is what the table decoder adds
    // up (at most 0x1041040, so nothing overflows); its low three bytes,
    // high first, are the output.
    const __m256i pairWeights = _mm256_set1_epi32(0x01400140);  // bytes 64, 1, 64, 1
    const __m256i wordWeights = _mm256_set1_epi32(0x00011000);  // words 4096, 1
    const __m256i pickBytes = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4,
                                               10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i packLanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    size_t at = 0;
    for (; n - at >= 32; at += 32, out += 24) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + at));
        const __m256i pairs = _mm256_maddubs_epi16(values(c), pairWeights);
        const __m256i words = _mm256_madd_epi16(pairs, wordWeights);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, pickBytes), packLanes);
        // Exactly 24 bytes: the output ends where the caller's full groups end.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
    }
    return at;
}

}  // namespace czs::base64::detail
