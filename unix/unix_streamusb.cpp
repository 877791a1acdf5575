#include "unix_streamusb.h"

#include <stdio.h>

#include <new>

#include "zvusb_driver.h"

namespace {

struct USBStreamState {
    uint32_t serial;
    zvusb_device* device;  // owned
    uint16_t marker;
};

USBStreamState* sState(void* ref) {
    USBStreamState* state = static_cast<USBStreamState*>(ref);
    return state && state->marker == aUSB_STREAM_MARKER ? state : nullptr;
}

aErr sUSBStreamGet(uint8_t* byte, void* ref) {
    USBStreamState* state = sState(ref);
    if (!state) return aErrParam;
    return zvusb_get_from_device(state->device, byte);
}

aErr sUSBStreamWrite(const uint8_t* data, size_t length, void* ref) {
    USBStreamState* state = sState(ref);
    if (!state) return aErrParam;
    return zvusb_write_to_device(state->device, data, length);
}

aErr sUSBStreamPut(const uint8_t* byte, void* ref) {
    return sUSBStreamWrite(byte, 1, ref);
}

aErr sUSBStreamDelete(void* ref) {
    USBStreamState* state = sState(ref);
    if (!state) return aErrParam;
    const aErr err = zvusb_close_zentrovia_device(state->device);
    if (err != aErrNone) return err;
    zvusb_destroy(&state->device);
    state->marker = 0;
    delete state;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serial, aStreamRef* stream) {
    if (stream) *stream = nullptr;
    if (!stream || serial == 0) return aErrParam;
    const uint32_t mode =
        zvusb_is_kernel_driver_installed(serial) ? ZVUSB_MODE_KERNEL : ZVUSB_MODE_LIBUSB;

    USBStreamState* state = new (std::nothrow) USBStreamState{};
    if (!state) return aErrMemory;
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    state->serial = serial;
    state->marker = aUSB_STREAM_MARKER;
    state->device = zvusb_create_usb(mode);
    if (!state->device) {
        delete state;
        return aErrResource;
    }

    const aErr err = zvusb_open_zentrovia_device(state->device, text);
    if (err != aErrNone) {
        zvusb_destroy(&state->device);
        delete state;
        return err;
    }
    aStreamRef made =
        aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, state);
    if (!made) {
        zvusb_close_zentrovia_device(state->device);
        zvusb_destroy(&state->device);
        delete state;
        return aErrMemory;
    }
    *stream = made;
    return aErrNone;
}
