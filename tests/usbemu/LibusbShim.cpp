// The part of the libusb-1.0 interface that libftdi1 and the program call, played by one emulated
// FT232R instead of the system's USB stack. Built as libusb-1.0.so.0 so that LD_LIBRARY_PATH puts
// it in place of the real one.
#include <libusb.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "Ft232rEmulator.h"

struct libusb_context {
    int unused = 0;
};

struct libusb_device {
    std::atomic<int> references{1};
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
    uint32_t generation = 0;
};

namespace {

// The bridge's one configuration: one interface with a bulk IN and a bulk OUT endpoint of 64
// bytes each, in one allocation that begins with the descriptor handed out.
struct Configuration {
    libusb_config_descriptor config;
    libusb_interface interface;
    libusb_interface_descriptor altsetting;
    libusb_endpoint_descriptor endpoints[2];
};

Ft232rEmulator& Bridge() {
    return Ft232rEmulator::Instance();
}

// Submitted transfers waiting for the next event handling, in order.
std::mutex g_pendingMutex;
std::vector<libusb_transfer*> g_pending;
std::vector<libusb_transfer*> g_cancelled;

void Complete(libusb_transfer* transfer, libusb_transfer_status status) {
    transfer->status = status;
    const bool freeTransfer = (transfer->flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0;
    if (transfer->callback != nullptr) {
        transfer->callback(transfer);
    }
    if (freeTransfer) {
        libusb_free_transfer(transfer);
    }
}

// Runs what was submitted so far; a callback may submit again, for the next round.
int HandleEvents(int* completed) {
    std::vector<libusb_transfer*> cancelled;
    std::vector<libusb_transfer*> round;
    {
        std::lock_guard lock(g_pendingMutex);
        cancelled.swap(g_cancelled);
        round.swap(g_pending);
    }
    for (libusb_transfer* transfer : cancelled) {
        transfer->actual_length = 0;
        Complete(transfer, LIBUSB_TRANSFER_CANCELLED);
    }
    for (size_t i = 0; i < round.size(); ++i) {
        if (completed != nullptr && *completed != 0) {
            // Not this caller's business any more: back to the queue for the next round.
            std::lock_guard lock(g_pendingMutex);
            g_pending.insert(g_pending.begin(), round.begin() + static_cast<std::ptrdiff_t>(i), round.end());
            break;
        }
        libusb_transfer* transfer = round[i];
        int actual = 0;
        const int result = Bridge().Bulk(transfer->dev_handle->generation, transfer->endpoint,
                                         transfer->buffer, transfer->length, &actual, transfer->timeout);
        transfer->actual_length = actual;
        switch (result) {
            case LIBUSB_SUCCESS:
                Complete(transfer, LIBUSB_TRANSFER_COMPLETED);
                break;
            case LIBUSB_ERROR_TIMEOUT:
                Complete(transfer, LIBUSB_TRANSFER_TIMED_OUT);
                break;
            case LIBUSB_ERROR_NO_DEVICE:
                Complete(transfer, LIBUSB_TRANSFER_NO_DEVICE);
                break;
            default:
                Complete(transfer, LIBUSB_TRANSFER_ERROR);
                break;
        }
    }
    return LIBUSB_SUCCESS;
}

}  // namespace

extern "C" {

UsbEmu* TagbenchUsbEmu() {
    return &Bridge();
}

int LIBUSB_CALL libusb_init(libusb_context** context) {
    if (context != nullptr) {
        *context = new (std::nothrow) libusb_context;
        if (*context == nullptr) {
            return LIBUSB_ERROR_NO_MEM;
        }
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* context) {
    delete context;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list) {
    const size_t count = Bridge().IsPresent() ? 1 : 0;
    *list = static_cast<libusb_device**>(std::calloc(count + 1, sizeof(libusb_device*)));
    if (*list == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    if (count == 1) {
        (*list)[0] = new libusb_device;
    }
    return static_cast<ssize_t>(count);
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* device) {
    ++device->references;
    return device;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* device) {
    if (device != nullptr && --device->references == 0) {
        delete device;
    }
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unrefDevices) {
    if (list == nullptr) {
        return;
    }
    for (libusb_device** device = list; unrefDevices != 0 && *device != nullptr; ++device) {
        libusb_unref_device(*device);
    }
    std::free(list);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device*, libusb_device_descriptor* descriptor) {
    *descriptor = Bridge().DeviceDescriptor();
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device*, uint8_t index,
                                             libusb_config_descriptor** config) {
    if (index != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    auto* whole = new (std::nothrow) Configuration{};
    if (whole == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    for (int i = 0; i < 2; ++i) {
        libusb_endpoint_descriptor& endpoint = whole->endpoints[i];
        endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
        endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
        endpoint.bEndpointAddress = i == 0 ? Ft232rEmulator::kEndpointIn : Ft232rEmulator::kEndpointOut;
        endpoint.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
        endpoint.wMaxPacketSize = Ft232rEmulator::kPacketSize;
    }
    whole->altsetting.bLength = LIBUSB_DT_INTERFACE_SIZE;
    whole->altsetting.bDescriptorType = LIBUSB_DT_INTERFACE;
    whole->altsetting.bNumEndpoints = 2;
    whole->altsetting.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
    whole->altsetting.endpoint = whole->endpoints;
    whole->interface.altsetting = &whole->altsetting;
    whole->interface.num_altsetting = 1;
    whole->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    whole->config.bDescriptorType = LIBUSB_DT_CONFIG;
    whole->config.bNumInterfaces = 1;
    whole->config.bConfigurationValue = 1;
    whole->config.bmAttributes = 0xA0;
    whole->config.MaxPower = 45;
    whole->config.interface = &whole->interface;
    *config = &whole->config;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* config) {
    // The descriptor is the first member of its Configuration.
    delete reinterpret_cast<Configuration*>(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) {
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device*) {
    return 2;
}

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle) {
    uint32_t generation = 0;
    if (const int result = Bridge().Open(generation); result != LIBUSB_SUCCESS) {
        return result;
    }
    *handle = new libusb_device_handle{libusb_ref_device(device), generation};
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
    if (handle == nullptr) {
        return;
    }
    Bridge().Release(handle->generation, handle);  // closing gives up a claim left behind
    libusb_unref_device(handle->device);
    delete handle;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle*, int* configuration) {
    *configuration = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle*, int configuration) {
    return configuration == 1 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface) {
    return interface == 0 ? Bridge().Claim(handle->generation, handle) : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface) {
    return interface == 0 ? Bridge().Release(handle->generation, handle) : LIBUSB_ERROR_NOT_FOUND;
}

// No kernel driver sits on the emulated bridge.
int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle*, int) {
    return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) {
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                   unsigned char* data, int length) {
    std::string text;
    if (const int result = Bridge().StringDescriptor(handle->generation, index, text); result < 0) {
        return result;
    }
    if (length <= 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    // As libusb: as much as fits, terminated.
    const size_t size = std::min(text.size(), static_cast<size_t>(length - 1));
    std::memcpy(data, text.data(), size);
    data[size] = 0;
    return static_cast<int>(size);
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request,
                                        uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                                        unsigned int) {
    return Bridge().Control(handle->generation, requestType, request, value, index, data, length);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* transferred,
                                     unsigned int timeout) {
    int actual = 0;
    const int result = Bridge().Bulk(handle->generation, endpoint, data, length, &actual, timeout);
    if (transferred != nullptr) {
        *transferred = actual;
    }
    return result;
}

libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets) {
    const size_t size = sizeof(libusb_transfer) + sizeof(libusb_iso_packet_descriptor) * isoPackets;
    return static_cast<libusb_transfer*>(std::calloc(1, size));
}

void LIBUSB_CALL libusb_free_transfer(libusb_transfer* transfer) {
    if (transfer == nullptr) {
        return;
    }
    if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) {
        std::free(transfer->buffer);
    }
    std::free(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(libusb_transfer* transfer) {
    if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK) {
        return LIBUSB_ERROR_NOT_SUPPORTED;
    }
    if (!Bridge().IsPresent()) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    std::lock_guard lock(g_pendingMutex);
    g_pending.push_back(transfer);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer* transfer) {
    std::lock_guard lock(g_pendingMutex);
    for (auto it = g_pending.begin(); it != g_pending.end(); ++it) {
        if (*it == transfer) {
            g_pending.erase(it);
            g_cancelled.push_back(transfer);
            return LIBUSB_SUCCESS;
        }
    }
    return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context*, struct timeval*, int* completed) {
    return HandleEvents(completed);
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context*, struct timeval*) {
    return HandleEvents(nullptr);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context*, int* completed) {
    return HandleEvents(completed);
}

int LIBUSB_CALL libusb_handle_events(libusb_context*) {
    return HandleEvents(nullptr);
}

}  // extern "C"
