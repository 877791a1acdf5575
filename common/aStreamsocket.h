// TCP socket stream: carries a link's frames over one TCP connection to a
// network-attached module, reconnecting by itself when the connection drops.
#pragma once

#include "aStream.h"

inline constexpr uint16_t aSOCKET_STREAM_MARKER = 0xDEAD;

// Longest wait for a connection to be made.
inline constexpr int aSOCKET_CONNECT_TIMEOUT_MS = 5000;
// An idle get waits this long for a byte before reporting aErrNotReady.
inline constexpr int aSOCKET_IDLE_WAIT_MS = 20;

// Connects to `address` (IPv4, network byte order, as a linkSpec carries it)
// and `port` (host byte order) and makes the stream. Any failure (missing
// output, no memory, no connection) is aErrResource and leaves no stream.
//
// get: aErrNotReady when no byte came within aSOCKET_IDLE_WAIT_MS. A lost
// connection, or a peer that closed its end, is reconnected once; when that
// fails, get reports aErrConnection, and so does every later get or write.
// write: a lost connection is reconnected and the rest sent; a write that
// cannot finish within ten attempts reports aErrWrite.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);
