// Consistent Overhead Byte Stuffing: turns a byte run into one without zero
// bytes, so a zero can delimit blocks on a serial line. Every run of non-zero
// bytes is preceded by a code byte (run length + 1); runs are cut at 254
// bytes. The encoders do not append the delimiter.
#pragma once

#include <cstddef>
#include <cstdint>

// Largest encoded size of `length` bytes: one code byte, plus one for every
// further 254-byte run.
constexpr size_t cobs_max_encoded_size(size_t length) {
    return length + length / 254 + 1;
}

// Encodes `length` bytes of `source` into `destination` (`capacity` bytes,
// must not overlap the source). Returns the encoded length, or 0 when it does
// not fit or a pointer is null.
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination, size_t capacity);

// Encodes the first `length` bytes of `buffer` in place; `capacity` is the
// size of the whole buffer. Returns the encoded length, or 0 (buffer
// unchanged) when the encoding would not fit or the buffer is null.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length, size_t capacity);

// Decodes `length` encoded bytes (without the delimiter) into `destination`
// (`capacity` bytes). The zero implied after the last run is not produced.
// Returns the decoded length; 0 for a damaged block (a zero byte, or a code
// byte pointing past the end), a null pointer, or when the result does not
// fit. An empty block (the single code byte 0x01) also decodes to 0 bytes.
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination, size_t capacity);

// cobs_decode into the same buffer; the decoded bytes never overtake the
// encoded ones, so no room beyond `length` is needed.
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);
