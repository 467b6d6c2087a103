// The AVX-512 VBMI base64 encoder. As with the AVX2 one, only this file is
// compiled for the instruction set, and the codec calls it only after the
// CPU said it has it.
//
// Every 48 input bytes become 64 characters in four instructions: a byte
// permutation places each 3-byte group in a 32-bit lane as b1 b0 b2 b1, a
// multishift picks the four 6-bit fields of each group into the four bytes
// of the lane (the top two bits of each byte are ignored by the next step),
// and a second byte permutation looks every field up in the alphabet held
// in one register.
#include <immintrin.h>

#include "protocol/Base64Kernels.h"

namespace czs::base64::detail {

size_t encodeBlocksAvx512Vbmi(const uint8_t* in, size_t n, char* out) {
    static constexpr char kAlphabet[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const __m512i alphabet = _mm512_loadu_si512(kAlphabet);
    const __m512i groups = _mm512_setr_epi32(0x01020001, 0x04050304, 0x07080607, 0x0a0b090a, 0x0d0e0c0d, 0x10110f10,
                                             0x13141213, 0x16171516, 0x191a1819, 0x1c1d1b1c, 0x1f201e1f, 0x22232122,
                                             0x25262425, 0x28292728, 0x2b2c2a2b, 0x2e2f2d2e);
    // Bit offsets, within each 64-bit pair of lanes, of the fields that end
    // up in its eight bytes: 10, 4, 22, 16 for the first lane, +32 for the
    // second.
    const __m512i fields = _mm512_set1_epi64(0x3036242a1016040aLL);
    // The zero-masked forms with every lane selected: the plain forms pass an
    // undefined register to the builtin, which GCC 12 warns about.
    constexpr __mmask64 kAll = ~__mmask64{0};
    size_t at = 0;
    // Each step loads 64 bytes and consumes 48: it runs only while 64 remain,
    // so no load passes in + n.
    for (; n - at >= 64; at += 48, out += 64) {
        __m512i v = _mm512_loadu_si512(in + at);
        v = _mm512_maskz_permutexvar_epi8(kAll, groups, v);
        v = _mm512_maskz_multishift_epi64_epi8(kAll, fields, v);
        _mm512_storeu_si512(out, _mm512_maskz_permutexvar_epi8(kAll, v, alphabet));
    }
    return at;
}

}  // namespace czs::base64::detail
