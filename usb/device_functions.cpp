// The plain device functions: counts, modes, identity and boot hand-over.
// Each call opens what it needs through discovery and closes it again before
// it returns; nothing is cached, so every answer reflects the bus at the time
// of the call. They take no lock: the backend copes with extra opens of a
// device that a connection holds. A call that fails records why for
// zorbel::last_error().
#include <cstring>
#include <string>

#include "support/last_error.h"
#include "usb/discovery.h"
#include "usb/hub_walk.h"
#include "usb/info_record.h"
#include "zorbel/usb.h"

namespace {

// The device functions look at enumeration indices 0 to 3 of each kind.
constexpr int kMaxIndex = 4;

bool opens(int kind, int index, zorbel::host::OpenFailure& worst) {
    zorbel::host::OpenFailure why = zorbel::host::OpenFailure::none;
    std::shared_ptr<zorbel::host::DeviceHandle> handle = zorbel::open_device(kind, index, &why);
    zorbel::note_worse_failure(worst, why);
    if (!handle) return false;
    handle->close();
    return true;
}

zorbel::errc reason_of(zorbel::host::OpenFailure failure) {
    switch (failure) {
        case zorbel::host::OpenFailure::permission_denied:
            return zorbel::errc::permission_denied;
        case zorbel::host::OpenFailure::busy:
            return zorbel::errc::busy;
        case zorbel::host::OpenFailure::io_error:
            return zorbel::errc::io_error;
        case zorbel::host::OpenFailure::none:
        case zorbel::host::OpenFailure::no_device:
            break;
    }
    return zorbel::errc::no_such_device;
}

void fail(zorbel::host::OpenFailure failure, const std::string& what) {
    zorbel::detail::set_last_error(reason_of(failure), what);
}

}  // namespace

int Get_Zorbel_State(int number) {
    // A device that is listed but refuses to open is no device number; when
    // no device has this number, it is the likelier reason than "none".
    zorbel::host::OpenFailure worst = zorbel::host::OpenFailure::no_device;
    int k = 0;
    for (int j = 0; j < kMaxIndex; ++j) {
        if (opens(DEVICE_KIND_BOOT, j, worst)) {
            if (k == number) return 1;
            ++k;
        }
    }
    for (int j = 0; j < kMaxIndex; ++j) {
        if (opens(DEVICE_KIND_NORMAL, j, worst)) {
            if (k == number) return 2;
            ++k;
        }
    }
    fail(worst, "device " + std::to_string(number));
    return -1;
}

int Get_Zorbel_Count() {
    zorbel::host::OpenFailure worst = zorbel::host::OpenFailure::none;
    int n = zorbel::count_boot_devices_on_bus();
    for (int j = 0; j < kMaxIndex; ++j) {
        if (opens(DEVICE_KIND_NORMAL, j, worst)) ++n;
    }
    return n;
}

int Get_Real_Zorbel_Count() {
    zorbel::BusCounts counts = zorbel::walk_usb_hubs();
    return counts.boot + counts.normal;
}

bool Get_Zorbel_Info(int number, int* type, char* id, char* hardware_id) {
    const int state = Get_Zorbel_State(number);
    if (state == 1) {
        zorbel::detail::set_last_error(zorbel::errc::wrong_mode,
                                       "device " + std::to_string(number) + " is in boot mode");
        return false;
    }
    if (state != 2) return false;  // the reason is recorded
    // Boot-mode devices come first in the numbering; they are counted on the
    // bus here, which agrees with the state query while every boot-mode
    // device on the bus is also listed as one.
    int index = number - zorbel::count_boot_devices_on_bus();
    zorbel::host::OpenFailure why = zorbel::host::OpenFailure::none;
    std::shared_ptr<zorbel::host::DeviceHandle> handle = zorbel::open_device(DEVICE_KIND_NORMAL, index, &why);
    if (!handle) {
        fail(why, "device " + std::to_string(number));
        return false;
    }
    unsigned char record[zorbel::host::kInfoRecordSize] = {};
    bool answered = handle->get_info(record);
    handle->close();
    if (!answered) {
        zorbel::detail::set_last_error(zorbel::errc::io_error, "device " + std::to_string(number) +
                                                                   " did not answer the information request");
        return false;
    }

    zorbel::detail::decode_info_record(record, type, id, hardware_id);
    return true;
}

bool Get_Zorbel_HardwareID(int number, char* hardware_id) {
    int type = 0;
    char id[8];
    return Get_Zorbel_Info(number, &type, id, hardware_id);
}

bool Get_Zorbel_ID(int number, char* id) {
    int type = 0;
    char hardware_id[13];
    return Get_Zorbel_Info(number, &type, id, hardware_id);
}

int GetOpenIndexForDeviceByHID(char* hardware_id) {
    if (!hardware_id) {
        zorbel::detail::set_last_error(zorbel::errc::invalid_argument, "no hardware ID given");
        return -1;
    }
    for (int i = 0; i < kMaxIndex; ++i) {
        char read[13];
        if (Get_Zorbel_HardwareID(i, read) && std::strcmp(read, hardware_id) == 0) return i;
    }
    zorbel::detail::set_last_error(
        zorbel::errc::no_such_device,
        "no device with hardware ID " + std::string(hardware_id, strnlen(hardware_id, 64)));
    return -1;
}

int Boot_Zorbel(int index, void* image, int size) {
    // Refused before any request: nothing sensible can be handed over.
    if (size < 0 || (!image && size != 0)) {
        zorbel::detail::set_last_error(zorbel::errc::invalid_argument, "no boot image");
        return -1;
    }
    zorbel::host::OpenFailure why = zorbel::host::OpenFailure::none;
    std::shared_ptr<zorbel::host::DeviceHandle> handle = zorbel::open_device(DEVICE_KIND_BOOT, index, &why);
    if (!handle) {
        fail(why, "boot-mode device " + std::to_string(index));
        return -1;
    }
    int result = handle->boot(image, static_cast<unsigned int>(size));
    handle->close();
    if (result == 1)
        zorbel::detail::set_last_error(zorbel::errc::invalid_argument,
                                       "the device refused the image: it is not a boot image for it");
    // 0 taken, 1 refused; a request that failed because the device went away
    // in the meantime reports "no device", like a failed open.
    if (result == 0 || result == 1) return result;
    zorbel::detail::set_last_error(zorbel::errc::device_gone, "boot-mode device " + std::to_string(index));
    return -1;
}

int Register_Zorbel_Connect_proc(void (*)(int)) { return -1; }

int Register_Zorbel_Disconnect_proc(void (*)(int)) { return -1; }
