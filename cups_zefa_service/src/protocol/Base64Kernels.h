// Internals of the base64 codec shared between its translation units, and
// the switch that lets tests and benchmarks pin the table or the vector code
// on a machine where the vector code would otherwise always be used. Not
// part of the codec's public interface.
#pragma once

#include <cstddef>
#include <cstdint>

namespace czs::base64::detail {

// The table encoder: any length, pads the last group.
void encodeScalar(const uint8_t* in, size_t n, char* out);

// The AVX2 encoder for the bulk of a buffer. It encodes the longest prefix
// of whole 24-byte blocks it can without loading past in + n, and returns
// the number of input bytes consumed (a multiple of 24, so of 3); the
// caller encodes the rest. Only call it on a CPU that has AVX2.
size_t encodeBlocksAvx2(const uint8_t* in, size_t n, char* out);

// The AVX-512 VBMI encoder: whole 48-byte blocks, loading 64 bytes each
// time, so it stops while fewer than 64 remain; returns the input bytes
// consumed (a multiple of 48). Only call it on a CPU that has AVX-512 VBMI.
size_t encodeBlocksAvx512Vbmi(const uint8_t* in, size_t n, char* out);

// The AVX2 decoder for whole groups that yield three bytes each (none of
// them the final, possibly padded group). It decodes the longest prefix of
// whole 32-character blocks of in[0, n), writes exactly 24 bytes per block,
// and returns the characters consumed. Same lenient values as the table
// decoder: "=" is 0, any other character outside the alphabet 64, sextets
// added. Only call it on a CPU that has AVX2.
size_t decodeBlocksAvx2(const unsigned char* in, size_t n, uint8_t* out);

// Avx512Vbmi encodes with AVX-512 VBMI and decodes with AVX2.
enum class Kernel { Scalar, Avx2, Avx512Vbmi };

// Whether this CPU can run the given kernel.
bool supported(Kernel k);

// The kernel that encode(), decode() and StreamEncoder use. It is picked
// once, the first time it is needed: AVX-512 VBMI where the CPU has it, else
// AVX2, else the tables.
Kernel activeKernel();

// Pins the kernel (tests, benchmarks). Returns false and changes nothing
// when the CPU cannot run it. Not meant to race with coding threads.
bool useKernel(Kernel k);

}  // namespace czs::base64::detail
