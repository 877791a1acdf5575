// A USB-attached module as a stream, through its kernel driver node when one
// exists for the serial number, else through libusb.
#pragma once

#include "aStream.h"

inline constexpr uint16_t aUSB_STREAM_MARKER = 0xDEAD;

// Opens the module with serial number `serial` (its USB serial-number string
// is the number as 8 upper-case hexadecimal digits). aErrParam for a missing
// output or a serial number of 0 (no device is touched); aErrMemory without
// memory; aErrResource when no device record can be made; otherwise the
// open's error (aErrNotFound when no module has that serial number).
aErr aStream_CreateUSB(uint32_t serial, aStreamRef* stream);
