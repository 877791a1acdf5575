// A stand-in for libusb-1.0, loaded with LD_PRELOAD in place of the real
// library. It exports the synchronous part of the libusb API and presents
// every device socket found in $ZV_FAKE_USB_DIR as a USB device; bulk traffic
// travels over that socket to the process simulating the device. The
// protocol is described in ../README.md.

#include <dirent.h>
#include <errno.h>
#include <libusb.h>
#include <poll.h>
#include <stdarg.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "fake_usb_protocol.h"

using fakeusb::Bytes;
using fakeusb::Hello;
using fakeusb::Message;
using fakeusb::MessageBuffer;

struct libusb_context {
    int unused;
};

struct libusb_device {
    std::atomic<int> references{1};
    std::string socketPath;
    Hello hello;
    uint8_t address = 0;
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
    int fd = -1;
    std::mutex lock;  // everything below
    MessageBuffer received;
    std::deque<Bytes> inTransfers;
    bool halted[256] = {};
    struct {
        int error;
        unsigned count;
    } failures[256] = {};
    bool gone = false;
    std::mutex sendLock;  // one message on the socket at a time
};

namespace {

constexpr int kHelloWaitMs = 1000;
constexpr int kReadyWaitMs = 2000;
// libusb's time-out 0 means "no limit"; the stand-in still ends the wait.
constexpr int kLongestTransferMs = 60000;

constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;

const char* const kManufacturer = "Zentrovia (simulated)";
const char* const kProduct = "Simulated module";

libusb_context sDefaultContext;

int sConnect(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -1;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sReadHello(int fd, MessageBuffer& buffer, Hello& hello) {
    Message message;
    return fakeusb::readMessage(fd, buffer, message, kHelloWaitMs) &&
           message.type == fakeusb::kHello && hello.decode(message.payload);
}

// Device sockets in the directory, in name order.
std::vector<std::string> sDeviceSockets() {
    std::vector<std::string> paths;
    const char* dir = getenv("ZV_FAKE_USB_DIR");
    if (!dir || !*dir) return paths;
    DIR* listing = opendir(dir);
    if (!listing) return paths;
    while (const dirent* entry = readdir(listing)) {
        const std::string path = std::string(dir) + "/" + entry->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) paths.push_back(path);
    }
    closedir(listing);
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Applies one device message; false for a message the host cannot accept.
bool sApply(libusb_device_handle* h, const Message& m) {
    zv::ByteReader r(m.payload.data(), m.payload.size());
    switch (m.type) {
        case fakeusb::kInData:
            h->inTransfers.push_back(m.payload);
            return true;
        case fakeusb::kHalt: {
            const uint8_t endpoint = r.u8();
            if (r.ok()) h->halted[endpoint] = true;
            return r.ok();
        }
        case fakeusb::kFail: {
            const uint8_t endpoint = r.u8();
            const int8_t error = static_cast<int8_t>(r.u8());
            const uint8_t count = r.u8();
            if (!r.ok()) return false;
            h->failures[endpoint].error = error < 0 ? int{error} : int{LIBUSB_ERROR_IO};
            h->failures[endpoint].count = count;
            return true;
        }
        default:
            return m.type == fakeusb::kReady;
    }
}

// Takes in everything the device has sent so far. Caller holds h->lock.
void sPump(libusb_device_handle* h) {
    if (h->gone) return;
    const bool open = fakeusb::drain(h->fd, h->received);
    Message message;
    bool bad = false;
    while (h->received.next(message, bad)) {
        if (!sApply(h, message)) bad = true;
    }
    if (!open || bad) h->gone = true;
}

bool sSend(libusb_device_handle* h, uint8_t type, const Bytes& payload, int timeoutMs,
           bool* started = nullptr) {
    const Bytes bytes = fakeusb::frame(type, payload);
    std::lock_guard<std::mutex> hold(h->sendLock);
    const size_t sent = fakeusb::sendAll(h->fd, bytes, timeoutMs);
    if (started) *started = sent > 0;
    if (sent == bytes.size()) return true;
    if (sent > 0) {
        // A message cut in half leaves the connection useless.
        std::lock_guard<std::mutex> state(h->lock);
        h->gone = true;
    }
    return false;
}

// An injected failure or a halt for the endpoint, or 0.
int sEndpointTrouble(libusb_device_handle* h, uint8_t endpoint) {
    auto& failure = h->failures[endpoint];
    if (failure.count > 0) {
        --failure.count;
        return failure.error;
    }
    return h->halted[endpoint] ? LIBUSB_ERROR_PIPE : 0;
}

bool sHasEndpoint(const Hello& hello, uint8_t endpoint) {
    return endpoint != 0 && (endpoint == hello.inEndpoint || endpoint == hello.outEndpoint);
}

int sTransferIn(libusb_device_handle* h, uint8_t endpoint, unsigned char* data, int length,
                int* transferred, unsigned timeout) {
    const int limit = timeout == 0 ? kLongestTransferMs : static_cast<int>(timeout);
    const auto deadline = fakeusb::Clock::now() + std::chrono::milliseconds(limit);
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(h->lock);
            sPump(h);
            const int trouble = sEndpointTrouble(h, endpoint);
            if (trouble) return trouble;
            if (!h->inTransfers.empty()) {
                Bytes& head = h->inTransfers.front();
                const size_t n = std::min(head.size(), static_cast<size_t>(length));
                std::copy(head.begin(), head.begin() + static_cast<long>(n), data);
                head.erase(head.begin(), head.begin() + static_cast<long>(n));
                // A message shorter than the buffer ends its transfer; a
                // longer one leaves the rest for the next transfer.
                if (head.empty()) h->inTransfers.pop_front();
                *transferred = static_cast<int>(n);
                return 0;
            }
            if (h->gone) return LIBUSB_ERROR_NO_DEVICE;
        }
        const int left = fakeusb::msLeft(deadline);
        if (left == 0) return LIBUSB_ERROR_TIMEOUT;
        pollfd p{h->fd, POLLIN, 0};
        poll(&p, 1, left);
    }
}

int sTransferOut(libusb_device_handle* h, uint8_t endpoint, const unsigned char* data, int length,
                 int* transferred, unsigned timeout) {
    {
        std::lock_guard<std::mutex> hold(h->lock);
        sPump(h);
        const int trouble = sEndpointTrouble(h, endpoint);
        if (trouble) return trouble;
        if (h->gone) return LIBUSB_ERROR_NO_DEVICE;
    }
    const int limit = timeout == 0 ? kLongestTransferMs : static_cast<int>(timeout);
    bool started = false;
    if (!sSend(h, fakeusb::kOutData, Bytes(data, data + length), limit, &started)) {
        return started ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_TIMEOUT;
    }
    *transferred = length;
    return 0;
}

int sTransfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data, int length,
              int* transferred, unsigned int timeout) {
    if (transferred) *transferred = 0;
    if (!h || length < 0 || (length > 0 && !data)) return LIBUSB_ERROR_INVALID_PARAM;
    if (!sHasEndpoint(h->device->hello, endpoint)) return LIBUSB_ERROR_NOT_FOUND;
    int moved = 0;
    const int rc = (endpoint & LIBUSB_ENDPOINT_IN)
                       ? sTransferIn(h, endpoint, data, length, &moved, timeout)
                       : sTransferOut(h, endpoint, data, length, &moved, timeout);
    if (transferred) *transferred = moved;
    return rc;
}

// The ASCII text of string descriptor `index`, or null when there is none.
const char* sStringFor(const libusb_device* device, uint8_t index) {
    switch (index) {
        case kManufacturerIndex:
            return kManufacturer;
        case kProductIndex:
            return kProduct;
        case kSerialIndex:
            return device->hello.serial.empty() ? nullptr : device->hello.serial.c_str();
        default:
            return nullptr;
    }
}

}  // namespace

// ---- library, context and logging ----

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    if (const char* forced = getenv("ZV_FAKE_USB_INIT_ERROR")) {
        const int error = atoi(forced);
        if (error < 0) return error;
    }
    if (ctx) {
        *ctx = new (std::nothrow) libusb_context{};
        if (!*ctx) return LIBUSB_ERROR_NO_MEM;
    }
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
    if (ctx != &sDefaultContext) delete ctx;
}

void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...) {
    return 0;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
    return capability == LIBUSB_CAP_HAS_CAPABILITY;
}

const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
    static const libusb_version version = {1, 0, 26, 0, "-fake", "https://libusb.info"};
    return &version;
}

int LIBUSB_CALL libusb_setlocale(const char*) {
    return 0;
}

const char* LIBUSB_CALL libusb_error_name(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return "LIBUSB_SUCCESS";
        case LIBUSB_ERROR_IO:
            return "LIBUSB_ERROR_IO";
        case LIBUSB_ERROR_INVALID_PARAM:
            return "LIBUSB_ERROR_INVALID_PARAM";
        case LIBUSB_ERROR_ACCESS:
            return "LIBUSB_ERROR_ACCESS";
        case LIBUSB_ERROR_NO_DEVICE:
            return "LIBUSB_ERROR_NO_DEVICE";
        case LIBUSB_ERROR_NOT_FOUND:
            return "LIBUSB_ERROR_NOT_FOUND";
        case LIBUSB_ERROR_BUSY:
            return "LIBUSB_ERROR_BUSY";
        case LIBUSB_ERROR_TIMEOUT:
            return "LIBUSB_ERROR_TIMEOUT";
        case LIBUSB_ERROR_OVERFLOW:
            return "LIBUSB_ERROR_OVERFLOW";
        case LIBUSB_ERROR_PIPE:
            return "LIBUSB_ERROR_PIPE";
        case LIBUSB_ERROR_INTERRUPTED:
            return "LIBUSB_ERROR_INTERRUPTED";
        case LIBUSB_ERROR_NO_MEM:
            return "LIBUSB_ERROR_NO_MEM";
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return "LIBUSB_ERROR_NOT_SUPPORTED";
        default:
            return "LIBUSB_ERROR_OTHER";
    }
}

const char* LIBUSB_CALL libusb_strerror(int code) {
    return libusb_error_name(code);
}

// ---- devices ----

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list) {
    if (!list) return LIBUSB_ERROR_INVALID_PARAM;
    std::vector<libusb_device*> found;
    for (const std::string& path : sDeviceSockets()) {
        const int fd = sConnect(path);
        if (fd < 0) continue;
        MessageBuffer buffer;
        Hello hello;
        const bool announced = sReadHello(fd, buffer, hello);
        close(fd);  // a probe: the device sees the connection end without an OPEN
        if (!announced) continue;
        libusb_device* device = new libusb_device;
        device->socketPath = path;
        device->hello = hello;
        device->address = static_cast<uint8_t>(found.size() + 1);
        found.push_back(device);
    }
    libusb_device** out = new libusb_device*[found.size() + 1];
    std::copy(found.begin(), found.end(), out);
    out[found.size()] = nullptr;
    *list = out;
    return static_cast<ssize_t>(found.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (!list) return;
    if (unref_devices) {
        for (libusb_device** d = list; *d; ++d) libusb_unref_device(*d);
    }
    delete[] list;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
    if (dev) ++dev->references;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
    if (dev && --dev->references == 0) delete dev;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) {
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
    return dev ? dev->address : 0;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) {
    return dev ? dev->address : 0;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers,
                                        int port_numbers_len) {
    if (!dev || !port_numbers || port_numbers_len < 1) return LIBUSB_ERROR_OVERFLOW;
    port_numbers[0] = dev->address;
    return 1;
}

libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*) {
    return nullptr;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device* dev) {
    if (!dev) return LIBUSB_SPEED_UNKNOWN;
    return dev->hello.outPacketSize >= 512 ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL;
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
    if (!dev) return LIBUSB_ERROR_NOT_FOUND;
    if (endpoint && endpoint == dev->hello.inEndpoint) return dev->hello.inPacketSize;
    if (endpoint && endpoint == dev->hello.outEndpoint) return dev->hello.outPacketSize;
    return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_get_max_iso_packet_size(libusb_device* dev, unsigned char endpoint) {
    return libusb_get_max_packet_size(dev, endpoint);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev,
                                             struct libusb_device_descriptor* desc) {
    if (!dev || !desc) return LIBUSB_ERROR_INVALID_PARAM;
    *desc = libusb_device_descriptor{};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = dev->hello.vendor;
    desc->idProduct = dev->hello.product;
    desc->bcdDevice = dev->hello.release;
    desc->iManufacturer = kManufacturerIndex;
    desc->iProduct = kProductIndex;
    desc->iSerialNumber = dev->hello.serial.empty() ? 0 : kSerialIndex;
    desc->bNumConfigurations = 1;
    return 0;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                             struct libusb_config_descriptor** config) {
    if (!dev || !config) return LIBUSB_ERROR_INVALID_PARAM;
    if (config_index != 0) return LIBUSB_ERROR_NOT_FOUND;
    const Hello& h = dev->hello;

    std::vector<libusb_endpoint_descriptor> endpoints;
    for (auto [address, size] :
         {std::pair{h.inEndpoint, h.inPacketSize}, std::pair{h.outEndpoint, h.outPacketSize}}) {
        if (!address) continue;
        libusb_endpoint_descriptor e{};
        e.bLength = LIBUSB_DT_ENDPOINT_SIZE;
        e.bDescriptorType = LIBUSB_DT_ENDPOINT;
        e.bEndpointAddress = address;
        e.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
        e.wMaxPacketSize = size;
        endpoints.push_back(e);
    }
    auto* endpoint = new libusb_endpoint_descriptor[std::max<size_t>(endpoints.size(), 1)];
    std::copy(endpoints.begin(), endpoints.end(), endpoint);

    auto* setting = new libusb_interface_descriptor{};
    setting->bLength = LIBUSB_DT_INTERFACE_SIZE;
    setting->bDescriptorType = LIBUSB_DT_INTERFACE;
    setting->bInterfaceNumber = h.interfaceNumber;
    setting->bNumEndpoints = static_cast<uint8_t>(endpoints.size());
    setting->bInterfaceClass = h.interfaceClass;
    setting->bInterfaceSubClass = h.interfaceSubClass;
    setting->bInterfaceProtocol = h.interfaceProtocol;
    setting->endpoint = endpoint;

    auto* interface = new libusb_interface{};
    interface->altsetting = setting;
    interface->num_altsetting = 1;

    auto* c = new libusb_config_descriptor{};
    c->bLength = LIBUSB_DT_CONFIG_SIZE;
    c->bDescriptorType = LIBUSB_DT_CONFIG;
    c->wTotalLength = static_cast<uint16_t>(LIBUSB_DT_CONFIG_SIZE + LIBUSB_DT_INTERFACE_SIZE +
                                            endpoints.size() * LIBUSB_DT_ENDPOINT_SIZE);
    c->bNumInterfaces = 1;
    c->bConfigurationValue = 1;
    c->bmAttributes = 0x80;
    c->MaxPower = 50;
    c->interface = interface;
    *config = c;
    return 0;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev,
                                                    struct libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(dev, 0, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t value,
                                                      struct libusb_config_descriptor** config) {
    if (value != 1) return LIBUSB_ERROR_NOT_FOUND;
    return libusb_get_config_descriptor(dev, 0, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    if (!config) return;
    const libusb_interface* interface = config->interface;
    delete[] interface->altsetting->endpoint;
    delete interface->altsetting;
    delete interface;
    delete config;
}

// ---- handles ----

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    if (!dev || !dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    *dev_handle = nullptr;
    if (dev->hello.openError < 0) return dev->hello.openError;
    const int fd = sConnect(dev->socketPath);
    if (fd < 0) return LIBUSB_ERROR_NO_DEVICE;

    auto* h = new libusb_device_handle;
    h->device = dev;
    h->fd = fd;
    Hello hello;
    bool ready = sReadHello(fd, h->received, hello) && sSend(h, fakeusb::kOpen, {}, kReadyWaitMs);
    // Whatever the device sends before READY is in force when the open returns.
    const auto deadline = fakeusb::Clock::now() + std::chrono::milliseconds(kReadyWaitMs);
    Message message;
    while (ready) {
        if (!fakeusb::readMessage(fd, h->received, message, fakeusb::msLeft(deadline)) ||
            !sApply(h, message)) {
            ready = false;
        } else if (message.type == fakeusb::kReady) {
            break;
        }
    }
    if (!ready) {
        close(fd);
        delete h;
        return LIBUSB_ERROR_NO_DEVICE;
    }
    libusb_ref_device(dev);
    *dev_handle = h;
    return 0;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx,
                                                                  uint16_t vendor_id,
                                                                  uint16_t product_id) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    libusb_device_handle* handle = nullptr;
    for (ssize_t i = 0; i < count && !handle; ++i) {
        const Hello& h = list[i]->hello;
        if (h.vendor == vendor_id && h.product == product_id) libusb_open(list[i], &handle);
    }
    libusb_free_device_list(list, 1);
    return handle;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle) {
    if (!dev_handle) return;
    close(dev_handle->fd);
    libusb_unref_device(dev_handle->device);
    delete dev_handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* dev_handle) {
    return dev_handle ? dev_handle->device : nullptr;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* dev_handle, int* config) {
    if (!dev_handle || !config) return LIBUSB_ERROR_INVALID_PARAM;
    *config = 1;
    return 0;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* dev_handle, int configuration) {
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    return configuration == 1 || configuration == -1 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    const Hello& h = dev_handle->device->hello;
    if (h.claimError < 0) return h.claimError;
    if (interface_number != h.interfaceNumber) return LIBUSB_ERROR_NOT_FOUND;
    sSend(dev_handle, fakeusb::kClaim, {static_cast<uint8_t>(interface_number)}, kReadyWaitMs);
    return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    if (interface_number != dev_handle->device->hello.interfaceNumber)
        return LIBUSB_ERROR_NOT_FOUND;
    sSend(dev_handle, fakeusb::kRelease, {static_cast<uint8_t>(interface_number)}, kReadyWaitMs);
    return 0;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* dev_handle, int, int) {
    return dev_handle ? 0 : LIBUSB_ERROR_INVALID_PARAM;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* dev_handle, unsigned char endpoint) {
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    if (!sHasEndpoint(dev_handle->device->hello, endpoint)) return LIBUSB_ERROR_NOT_FOUND;
    {
        std::lock_guard<std::mutex> hold(dev_handle->lock);
        dev_handle->halted[endpoint] = false;
        if (dev_handle->gone) return LIBUSB_ERROR_NO_DEVICE;
    }
    return sSend(dev_handle, fakeusb::kClearHalt, {endpoint}, kReadyWaitMs)
               ? 0
               : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* dev_handle) {
    return dev_handle ? 0 : LIBUSB_ERROR_INVALID_PARAM;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* dev_handle, int) {
    return dev_handle ? 0 : LIBUSB_ERROR_INVALID_PARAM;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* dev_handle, int) {
    return dev_handle ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_INVALID_PARAM;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* dev_handle, int) {
    return dev_handle ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_INVALID_PARAM;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle, int) {
    return dev_handle ? 0 : LIBUSB_ERROR_INVALID_PARAM;
}

// ---- transfers and descriptors read through a handle ----

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* actual_length,
                                     unsigned int timeout) {
    return sTransfer(dev_handle, endpoint, data, length, actual_length, timeout);
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                          unsigned char* data, int length, int* actual_length,
                                          unsigned int timeout) {
    return sTransfer(dev_handle, endpoint, data, length, actual_length, timeout);
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle,
                                                   uint8_t desc_index, unsigned char* data,
                                                   int length) {
    if (!dev_handle || !data || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    if (desc_index == 0) return LIBUSB_ERROR_INVALID_PARAM;
    const char* text = sStringFor(dev_handle->device, desc_index);
    if (!text) return LIBUSB_ERROR_PIPE;
    const size_t n = std::min(strlen(text), static_cast<size_t>(length - 1));
    memcpy(data, text, n);
    data[n] = 0;
    return static_cast<int>(n);
}

// Answers the standard GET_DESCRIPTOR request for string descriptors, which
// the inline helpers of libusb.h issue; every other request stalls.
int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type,
                                        uint8_t bRequest, uint16_t wValue, uint16_t,
                                        unsigned char* data, uint16_t wLength, unsigned int) {
    if (!dev_handle) return LIBUSB_ERROR_INVALID_PARAM;
    if (request_type != LIBUSB_ENDPOINT_IN || bRequest != LIBUSB_REQUEST_GET_DESCRIPTOR ||
        (wValue >> 8) != LIBUSB_DT_STRING || !data) {
        return LIBUSB_ERROR_PIPE;
    }
    Bytes descriptor;
    const uint8_t index = wValue & 0xFF;
    if (index == 0) {
        descriptor = {4, LIBUSB_DT_STRING, 0x09, 0x04};  // US English only
    } else {
        const char* text = sStringFor(dev_handle->device, index);
        if (!text) return LIBUSB_ERROR_PIPE;
        const size_t chars = std::min<size_t>(strlen(text), 126);
        descriptor.resize(2 + 2 * chars);
        zv::ByteWriter w(descriptor.data(), descriptor.size());
        w.u8(static_cast<uint8_t>(descriptor.size()));
        w.u8(LIBUSB_DT_STRING);
        for (size_t i = 0; i < chars; ++i) w.u16le(static_cast<uint8_t>(text[i]));
    }
    const size_t n = std::min<size_t>(descriptor.size(), wLength);
    memcpy(data, descriptor.data(), n);
    return static_cast<int>(n);
}
