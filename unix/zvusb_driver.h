// USB access to the family's modules: through the family's kernel driver,
// which exposes each device as the node "/dev/zentrovia.<serial>", or, when
// no such node exists, directly through libusb with bulk transfers on the
// device's vendor-specific interface.
//
// A device record is used by exactly two threads of its link: the reader
// (zvusb_get_from_device) and the writer (zvusb_write_to_device). They share
// only `state` and `errorCount`, which are atomic.
#pragma once

#include <libusb.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "aError.h"

// The process-wide libusb context, shared with USB discovery. Created under a
// process-wide lock on first use; null when libusb cannot be initialised.
libusb_context* Zentrovia_libusb_context(void);
// The same as Zentrovia_libusb_context.
libusb_context* Zentrovia_libusb_init(void);
// Releases the context; the next use creates a new one. Call only when no USB
// stream or discovery is using it.
void Zentrovia_libusb_exit(void);

// True when the device's descriptor can be read, its vendor id is the
// family's and bit 15 of its product id is clear.
bool is_zentrovia_device(libusb_device* device);

enum : uint32_t { ZVUSB_MODE_KERNEL = 0, ZVUSB_MODE_LIBUSB = 1 };

enum : uint32_t {
    ZVUSB_STATE_CREATED = 1,
    ZVUSB_STATE_CLOSED = 2,
    ZVUSB_STATE_OPENING = 3,  // device matched
    ZVUSB_STATE_OPEN = 4,     // interface claimed
    ZVUSB_STATE_FAILED = 5,   // five consecutive I/O errors; the record does not recover
};

#define ZVUSB_NODE_FORMAT "/dev/zentrovia.%08X"

// The device's vendor interface: class, subclass and protocol.
inline constexpr uint8_t ZVUSB_INTERFACE_CLASS = 0xFF;
inline constexpr uint8_t ZVUSB_INTERFACE_SUBCLASS = 0x88;
inline constexpr uint8_t ZVUSB_INTERFACE_PROTOCOL = 0x10;

inline constexpr size_t ZVUSB_SERIAL_SIZE = 256;
inline constexpr size_t ZVUSB_RECEIVE_SIZE = 1024;
// Bulk transfer time-outs.
inline constexpr unsigned ZVUSB_READ_TIMEOUT_MS = 1000;
inline constexpr unsigned ZVUSB_WRITE_TIMEOUT_MS = 50;
// Failed OUT transfers one write may take before giving up.
inline constexpr int ZVUSB_WRITE_FAILURES = 10;
// Consecutive aErrIO results absorbed before the record fails.
inline constexpr uint8_t ZVUSB_TOLERATED_ERRORS = 4;
// A read from a kernel node waits this long for a byte.
inline constexpr int ZVUSB_NODE_IDLE_WAIT_MS = 50;

struct zvusb_device {
    uint32_t mode;
    char serial[ZVUSB_SERIAL_SIZE];  // 8 upper-case hexadecimal digits
    int descriptor;                  // kernel node; -1 while not open
    libusb_device_handle* handle;    // libusb mode
    std::atomic<uint32_t> state;
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;  // bit 7 set
    uint8_t receive[ZVUSB_RECEIVE_SIZE];
    int32_t available;  // bytes of `receive` not yet handed out
    size_t next;        // position of the next byte to hand out
    std::atomic<uint8_t> errorCount;
    uint16_t inPacketSize;
    uint16_t outPacketSize;
};

// New record in the given mode, state ZVUSB_STATE_CREATED; in libusb mode the
// shared context is made if needed. Null when memory is exhausted.
zvusb_device* zvusb_create_usb(uint32_t mode);
// Closes a libusb handle if one is held, frees the record, clears the pointer.
aErr zvusb_destroy(zvusb_device** device);

bool zvusb_is_kernel_driver_installed(uint32_t serial);

// Opens the device whose serial-number string is exactly `serial`.
// libusb mode: aErrNotFound without a match; aErrConfiguration when the
// matching device has no usable interface; aErrBusy, aErrPermission or
// aErrUnknown when the interface cannot be claimed. Kernel mode: aErrBusy or
// aErrIO when the node cannot be opened. aErrMode for a record of the other
// mode.
aErr zvusb_open_zentrovia_device(zvusb_device* device, const char* serial);

// libusb mode: the bytes go out in transfers of at most the OUT endpoint's
// packet size (a 512-byte transfer is cut to 511); a stalled endpoint is
// cleared and the transfer retried; after ten failed transfers the rest is
// given up with aErrWrite.
aErr zvusb_write_to_device(zvusb_device* device, const uint8_t* data, size_t length);

// One byte. libusb mode fetches up to 1024 bytes per transfer and hands them
// out one at a time; aErrNotReady when nothing came within the time-out, for
// an empty transfer, a cleared stall, or a tolerated I/O error.
aErr zvusb_get_from_device(zvusb_device* device, uint8_t* byte);

aErr zvusb_close_zentrovia_device(zvusb_device* device);

// Finds the vendor interface of the open device and its bulk IN and OUT
// endpoints (the last qualifying ones in descriptor order). 0 when both were
// found; the libusb error when a descriptor cannot be read; 1 otherwise.
int find_usb_endpoints(zvusb_device* device);

// The error tolerance: aErrIO increments the shared error count and is
// reported as 0 while fewer than ZVUSB_TOLERATED_ERRORS came before it; the
// next one fails the record (ZVUSB_STATE_FAILED) and is reported, as is every
// aErrIO after that. Any other status resets the count and passes unchanged.
aErr _handleErrorTolerance(zvusb_device* device, aErr status);
