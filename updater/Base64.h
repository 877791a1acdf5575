// Standard base64 (RFC 4648, "=" fill) for packages sent as text.
#pragma once

// Decoded bytes plus a terminating zero, allocated with malloc (the caller
// frees them); null for a length that is not a multiple of 4 or for any
// character outside the alphabet or a misplaced "=".
unsigned char* base64_decode(const char* text, unsigned long length, unsigned long* outLength);
// Zero-terminated text of 4 * ceil(n / 3) characters, allocated with malloc.
char* base64_encode(const char* data, unsigned long length, unsigned long* outLength);
