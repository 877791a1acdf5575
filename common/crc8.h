// CRC-8 of the Dallas/Maxim 1-Wire bus (polynomial x^8 + x^5 + x^4 + 1, least
// significant bit first, initial value 0, no final inversion). Serial links
// append it to every frame before COBS framing.
#pragma once

#include <cstddef>
#include <cstdint>

// One table step: the CRC after feeding `byte` into `crc`.
uint8_t crc8_update(uint8_t crc, uint8_t byte);

// The CRC of `length` bytes starting from 0; 0 for a null pointer.
uint8_t crc8_create(const uint8_t* data, size_t length);
