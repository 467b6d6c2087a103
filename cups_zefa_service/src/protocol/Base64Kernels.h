// Internals of the base64 codec shared between its translation units, and
// the switch that lets tests and benchmarks pin the encoder on a machine
// where the vector one would otherwise always win. Not part of the codec's
// public interface.
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

enum class Encoder { Scalar, Avx2 };

// Whether this CPU can run the given encoder.
bool supported(Encoder e);

// The encoder that encode() and StreamEncoder use. It is picked once, the
// first time it is needed: AVX2 where the CPU has it, the table otherwise.
Encoder activeEncoder();

// Pins the encoder (tests, benchmarks). Returns false and changes nothing
// when the CPU cannot run it. Not meant to race with encoding threads.
bool useEncoder(Encoder e);

}  // namespace czs::base64::detail
