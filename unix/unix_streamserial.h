// Serial ports (POSIX terminals) as streams: a plain byte stream, and a
// packetized one in which every link frame travels COBS-framed with a CRC-8.
// The port's previous terminal settings are restored when the stream is
// destroyed.
#pragma once

#include "aStream.h"

inline constexpr uint16_t aSERIAL_STREAM_MARKER = 0xBEEF;

// Baud indexes 0 to 7: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400.
// Any other index sets the hang-up speed 0.
inline constexpr int aSERIAL_BAUD_INDEXES = 8;

// An idle get waits this long for a byte before reporting aErrNotReady.
inline constexpr int aSERIAL_IDLE_WAIT_MS = 5;

// Opens `port` raw (8 or 7 data bits, optional even parity, 1 or 2 stop bits,
// no flow control, modem lines ignored) and makes a plain stream. `parity`: 0
// none, else even; `dataBits`: 0 = 8 bits, 1 = 7 bits; `stopBits`: 0 = 1 stop
// bit, 1 = 2 stop bits. aErrResource for a missing port or output, or a data
// or stop bits mode above 1; aErrNotFound for a port that does not exist,
// aErrPermission without access, aErrIO when the path is not a terminal or
// cannot be set up.
//
// get: aErrNotReady when no byte came within aSERIAL_IDLE_WAIT_MS; aErrIO when
// the port has gone (hang-up or a read failure).
// write: every byte or aErrIO; returns once the bytes have been transmitted,
// and gives up with aErrIO when the line takes far longer than its speed
// allows.
aErr aStream_CreateSerial(const char* port, int baudIndex, uint32_t parity, uint32_t dataBits,
                          uint32_t stopBits, aStreamRef* stream);

// The same port set-up, wrapped in a COBS framing stream (see
// aStream_CreateCobsEncoding). On a framing failure the port is closed again.
aErr aStream_CreateSerial_Packetized(const char* port, int baudIndex, uint32_t parity,
                                     uint32_t dataBits, uint32_t stopBits, aStreamRef* stream);
