#include "zvusb_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>

#include "aBytes.h"
#include "aDebug.h"
#include "aDefs.h"
#include "aFile.h"

namespace {

constexpr uint32_t kDebugUsb = 0x400;

// Bit 15 of the product id marks devices outside the family's protocol.
constexpr uint16_t kForeignProductBit = 0x8000;
// Endpoint attribute bit 1: bulk or interrupt.
constexpr uint8_t kBulkOrInterruptBit = 0x02;
// A transfer of exactly this size is cut by one byte, so a full-size transfer
// never needs a zero-length packet to end it.
constexpr size_t kCutTransferSize = 512;
// A kernel-node write gives up after this many calls or this much time.
constexpr int kNodeWriteCalls = 1000;
constexpr auto kNodeWriteLimit = std::chrono::seconds(2);

libusb_context* _libusbContext = nullptr;
std::mutex _libusbContextLock;

bool sIsLibusb(const zvusb_device* device) {
    return device && device->mode == ZVUSB_MODE_LIBUSB;
}

bool sIsKernel(const zvusb_device* device) {
    return device && device->mode == ZVUSB_MODE_KERNEL;
}

// ---- kernel driver node ----

aErr zvusb_open_zentrovia_kernel_device(zvusb_device* device, const char* serial) {
    if (!sIsKernel(device)) return aErrMode;
    snprintf(device->serial, sizeof device->serial, "%s", serial);
    char path[ZVUSB_SERIAL_SIZE + 32];
    snprintf(path, sizeof path, "/dev/zentrovia.%s", device->serial);
    // Non-blocking, so reads and writes wait only in poll, with a bound.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
    device->descriptor = fd;
    device->state = ZVUSB_STATE_OPEN;
    return aErrNone;
}

aErr zvusb_write_to_kernel_device(zvusb_device* device, const uint8_t* data, size_t length) {
    if (!sIsKernel(device) || device->descriptor < 0) return aErrMode;
    const auto deadline = std::chrono::steady_clock::now() + kNodeWriteLimit;
    size_t sent = 0;
    for (int call = 0; call < kNodeWriteCalls && sent < length; ++call) {
        const ssize_t n = write(device->descriptor, data + sent, length - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return aErrIO;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        pollfd p{device->descriptor, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left));
    }
    return sent == length ? aErrNone : aErrIO;
}

aErr zvusb_get_from_kernel_device(zvusb_device* device, uint8_t* byte) {
    if (!sIsKernel(device) || device->descriptor < 0) return aErrMode;
    pollfd p{device->descriptor, POLLIN, 0};
    const int ready = poll(&p, 1, ZVUSB_NODE_IDLE_WAIT_MS);
    if (ready < 0) return errno == EINTR ? aErrNotReady : aErrIO;
    if (ready == 0) return aErrNotReady;
    if (!(p.revents & POLLIN)) return aErrIO;  // the node hung up

    const ssize_t n = read(device->descriptor, byte, 1);
    if (n == 1) return aErrNone;
    if (n == 0) return (p.revents & POLLHUP) ? aErrIO : aErrNotReady;
    return (errno == EAGAIN || errno == EINTR || errno == EFAULT) ? aErrNotReady : aErrIO;
}

aErr zvusb_close_kernel_device(zvusb_device* device) {
    if (!sIsKernel(device)) return aErrMode;
    if (device->descriptor < 0) return aErrNone;
    const int fd = device->descriptor;
    device->descriptor = -1;
    device->state = ZVUSB_STATE_CLOSED;
    return close(fd) == 0 ? aErrNone : aErrCancel;
}

// ---- libusb ----

aErr sClaimError(int rc) {
    switch (rc) {
        case LIBUSB_ERROR_BUSY:
        case LIBUSB_ERROR_NO_DEVICE:
            return aErrBusy;
        case LIBUSB_ERROR_ACCESS:
            return aErrPermission;
        default:
            return aErrUnknown;
    }
}

// Reads the serial-number string of an open device; false when it has none.
bool sReadSerial(libusb_device* device, libusb_device_handle* handle, char* text, size_t size) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
    if (descriptor.iSerialNumber == 0) return false;
    const int n = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                     reinterpret_cast<unsigned char*>(text),
                                                     static_cast<int>(size));
    if (n < 0) return false;
    text[std::min(static_cast<size_t>(n), size - 1)] = '\0';
    return true;
}

void sReleaseHandle(zvusb_device* device) {
    if (device->handle) libusb_close(device->handle);
    device->handle = nullptr;
    device->state = ZVUSB_STATE_CLOSED;
}

// The matching device is open in `device->handle`: find its interface and claim it.
aErr sClaimMatched(zvusb_device* device) {
    device->state = ZVUSB_STATE_OPENING;
    aErr result = aErrNone;
    if (find_usb_endpoints(device) != 0) {
        result = aErrConfiguration;
    } else {
        const int rc = libusb_claim_interface(device->handle, device->interfaceNumber);
        if (rc != 0) result = sClaimError(rc);
    }
    if (result != aErrNone) {
        sReleaseHandle(device);
        return result;
    }
    device->available = 0;
    device->next = 0;
    device->errorCount = 0;
    device->state = ZVUSB_STATE_OPEN;
    return aErrNone;
}

aErr zvusb_open_zentrovia_USBlib_device(zvusb_device* device, const char* serial) {
    if (!sIsLibusb(device)) return aErrMode;
    libusb_context* context = Zentrovia_libusb_context();
    if (!context) return aErrNotFound;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) return aErrNotFound;

    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* candidate = list[i];
        if (!is_zentrovia_device(candidate)) continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(candidate, &handle) != 0 || !handle) continue;
        char text[ZVUSB_SERIAL_SIZE];
        if (!sReadSerial(candidate, handle, text, sizeof text) || strcmp(text, serial) != 0) {
            libusb_close(handle);
            continue;
        }
        snprintf(device->serial, sizeof device->serial, "%s", serial);
        device->handle = handle;
        result = sClaimMatched(device);
        break;
    }
    libusb_free_device_list(list, 1);
    return result;
}

// Reports a state that does not allow a transfer, or 0 for an open record.
aErr sCheckOpen(const zvusb_device* device, const char* what) {
    const uint32_t state = device->state;
    switch (state) {
        case ZVUSB_STATE_OPEN:
            return aErrNone;
        case ZVUSB_STATE_CLOSED:
            return aErrConnection;
        case ZVUSB_STATE_CREATED:
        case ZVUSB_STATE_OPENING:
            return aErrNotReady;
        default:
            aDebug_Printf(kDebugUsb, "libusb %s error dev state: %d\n", what,
                          static_cast<int>(state));
            return aErrIO;
    }
}

aErr zvusb_write_to_USBlib_device(zvusb_device* device, const uint8_t* data, size_t length) {
    if (!sIsLibusb(device)) return aErrMode;
    aErr result = sCheckOpen(device, "WRITE");
    if (result != aErrNone) return _handleErrorTolerance(device, result);

    size_t sent = 0;
    int failures = 0;
    while (sent < length && failures < ZVUSB_WRITE_FAILURES) {
        size_t chunk = std::min<size_t>(device->outPacketSize, length - sent);
        if (chunk == kCutTransferSize) chunk = kCutTransferSize - 1;
        int transferred = 0;
        const int rc = libusb_bulk_transfer(
            device->handle, device->outEndpoint, const_cast<uint8_t*>(data + sent),
            static_cast<int>(chunk), &transferred, ZVUSB_WRITE_TIMEOUT_MS);
        aDebug_Printf(kDebugUsb, "libusb lenSent: %d - nSize: %d\n", transferred,
                      static_cast<int>(chunk));
        // A timed-out transfer may still have moved some bytes.
        if (transferred > 0) sent += std::min(static_cast<size_t>(transferred), chunk);
        if (rc == 0 && transferred > 0) continue;
        ++failures;
        if (rc == 0) continue;
        aDebug_Printf(kDebugUsb, "libusb error: %d\n", rc);
        if (rc == LIBUSB_ERROR_PIPE) {
            const int cleared = libusb_clear_halt(device->handle, device->outEndpoint);
            if (cleared != 0) {
                aDebug_Printf(kDebugUsb, "libusb WRITE error clearing halt: %d\n", cleared);
                result = aErrIO;
            }
        }
    }
    if (sent < length) result = aErrWrite;
    return _handleErrorTolerance(device, result);
}

// One bulk IN transfer into the receive buffer.
aErr sFill(zvusb_device* device) {
    int transferred = 0;
    const int rc = libusb_bulk_transfer(device->handle, device->inEndpoint, device->receive,
                                        static_cast<int>(sizeof device->receive), &transferred,
                                        ZVUSB_READ_TIMEOUT_MS);
    switch (rc) {
        case 0:
        case LIBUSB_ERROR_TIMEOUT:
            // A timed-out transfer keeps what arrived before the time ran out.
            device->available =
                std::clamp(transferred, 0, static_cast<int>(sizeof device->receive));
            device->next = 0;
            return device->available ? aErrNone : aErrNotReady;
        case LIBUSB_ERROR_PIPE:
            libusb_clear_halt(device->handle, device->inEndpoint);
            return aErrNotReady;
        default:
            aDebug_Printf(kDebugUsb, "libusb READ error bulk transfer: %d\n", rc);
            return aErrIO;
    }
}

aErr zvusb_get_from_USBlib_device(zvusb_device* device, uint8_t* byte) {
    if (!sIsLibusb(device)) return aErrMode;
    aErr result = aErrNone;
    if (device->available <= 0) {
        result = sCheckOpen(device, "READ");
        if (result == aErrNone) result = sFill(device);
    }
    if (result == aErrNone) {
        zv::ByteReader in(device->receive, sizeof device->receive);
        in.skip(device->next);
        *byte = in.u8();
        ++device->next;
        --device->available;
    }
    const aErr reported = _handleErrorTolerance(device, result);
    // A tolerated failure delivered no byte.
    return (result == aErrIO && reported == aErrNone) ? aErrNotReady : reported;
}

aErr zvusb_close_USBlib_device(zvusb_device* device) {
    if (!sIsLibusb(device) || !device->handle) return aErrMode;
    libusb_release_interface(device->handle, device->interfaceNumber);
    sReleaseHandle(device);
    device->interfaceNumber = 0;
    device->inEndpoint = 0;
    device->outEndpoint = 0;
    return aErrNone;
}

void sKeepEndpoint(zvusb_device* device, const libusb_endpoint_descriptor& endpoint) {
    if (!(endpoint.bmAttributes & kBulkOrInterruptBit)) return;
    if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
        device->inEndpoint = endpoint.bEndpointAddress;
        device->inPacketSize = endpoint.wMaxPacketSize;
    } else {
        device->outEndpoint = endpoint.bEndpointAddress;
        device->outPacketSize = endpoint.wMaxPacketSize;
    }
}

bool sIsVendorInterface(const libusb_interface_descriptor& setting) {
    return setting.bInterfaceClass == ZVUSB_INTERFACE_CLASS &&
           setting.bInterfaceSubClass == ZVUSB_INTERFACE_SUBCLASS &&
           setting.bInterfaceProtocol == ZVUSB_INTERFACE_PROTOCOL;
}

}  // namespace

libusb_context* Zentrovia_libusb_context(void) {
    std::lock_guard<std::mutex> lock(_libusbContextLock);
    if (!_libusbContext && libusb_init(&_libusbContext) != 0) _libusbContext = nullptr;
    return _libusbContext;
}

libusb_context* Zentrovia_libusb_init(void) {
    return Zentrovia_libusb_context();
}

void Zentrovia_libusb_exit(void) {
    std::lock_guard<std::mutex> lock(_libusbContextLock);
    if (_libusbContext) libusb_exit(_libusbContext);
    _libusbContext = nullptr;
}

bool is_zentrovia_device(libusb_device* device) {
    if (!device) return false;
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
    return descriptor.idVendor == aZENTROVIA_USB_VENDOR_ID &&
           !(descriptor.idProduct & kForeignProductBit);
}

zvusb_device* zvusb_create_usb(uint32_t mode) {
    zvusb_device* device = new (std::nothrow) zvusb_device{};
    if (!device) return nullptr;
    device->mode = mode;
    device->descriptor = -1;
    device->state = ZVUSB_STATE_CREATED;
    if (mode == ZVUSB_MODE_LIBUSB) Zentrovia_libusb_context();
    return device;
}

aErr zvusb_destroy(zvusb_device** device) {
    if (!device || !*device) return aErrParam;
    zvusb_device* doomed = *device;
    *device = nullptr;
    if (doomed->handle) libusb_close(doomed->handle);
    if (doomed->descriptor >= 0) close(doomed->descriptor);
    delete doomed;
    return aErrNone;
}

bool zvusb_is_kernel_driver_installed(uint32_t serial) {
    char path[64];
    snprintf(path, sizeof path, ZVUSB_NODE_FORMAT, serial);
    return aFile_Exists(path);
}

aErr zvusb_open_zentrovia_device(zvusb_device* device, const char* serial) {
    if (!device || !serial) return aErrParam;
    return device->mode == ZVUSB_MODE_LIBUSB ? zvusb_open_zentrovia_USBlib_device(device, serial)
                                             : zvusb_open_zentrovia_kernel_device(device, serial);
}

aErr zvusb_write_to_device(zvusb_device* device, const uint8_t* data, size_t length) {
    if (!device || !data) return aErrParam;
    return device->mode == ZVUSB_MODE_LIBUSB ? zvusb_write_to_USBlib_device(device, data, length)
                                             : zvusb_write_to_kernel_device(device, data, length);
}

aErr zvusb_get_from_device(zvusb_device* device, uint8_t* byte) {
    if (!device || !byte) return aErrParam;
    return device->mode == ZVUSB_MODE_LIBUSB ? zvusb_get_from_USBlib_device(device, byte)
                                             : zvusb_get_from_kernel_device(device, byte);
}

aErr zvusb_close_zentrovia_device(zvusb_device* device) {
    if (!device) return aErrParam;
    return device->mode == ZVUSB_MODE_LIBUSB ? zvusb_close_USBlib_device(device)
                                             : zvusb_close_kernel_device(device);
}

int find_usb_endpoints(zvusb_device* device) {
    if (!sIsLibusb(device) || !device->handle) return 1;
    libusb_device* usb = libusb_get_device(device->handle);
    libusb_device_descriptor descriptor;
    int rc = libusb_get_device_descriptor(usb, &descriptor);
    if (rc != 0) return rc;
    libusb_config_descriptor* config = nullptr;
    rc = libusb_get_config_descriptor(usb, 0, &config);
    if (rc != 0) return rc;

    device->inEndpoint = 0;
    device->outEndpoint = 0;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& setting = interface.altsetting[a];
            if (!sIsVendorInterface(setting)) continue;
            device->interfaceNumber = setting.bInterfaceNumber;
            for (int e = 0; e < setting.bNumEndpoints; ++e)
                sKeepEndpoint(device, setting.endpoint[e]);
        }
    }
    libusb_free_config_descriptor(config);
    aDebug_Printf(kDebugUsb, "In Endpoint Max packet: %d\n", device->inPacketSize);
    aDebug_Printf(kDebugUsb, "Out Endpoint Max packet: %d\n", device->outPacketSize);
    // A packet size of 0 could never move a byte.
    const bool found =
        device->inEndpoint && device->outEndpoint && device->inPacketSize && device->outPacketSize;
    return found ? 0 : 1;
}

aErr _handleErrorTolerance(zvusb_device* device, aErr status) {
    if (!device) return status;
    if (status != aErrIO) {
        device->errorCount = 0;
        return status;
    }
    if (device->state == ZVUSB_STATE_FAILED) return aErrIO;
    const uint8_t before = device->errorCount.fetch_add(1);
    if (before < ZVUSB_TOLERATED_ERRORS) return aErrNone;
    device->state = ZVUSB_STATE_FAILED;
    return aErrIO;
}
