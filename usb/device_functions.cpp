// The plain device functions: counts, modes, identity and boot hand-over.
// Each call opens what it needs through discovery and closes it again before
// it returns; nothing is cached, so every answer reflects the bus at the time
// of the call. They take no lock: the backend copes with extra opens of a
// device that a connection holds.
#include <cstring>

#include "usb/discovery.h"
#include "usb/hub_walk.h"
#include "usb/info_record.h"
#include "zorbel/usb.h"

namespace {

// The device functions look at enumeration indices 0 to 3 of each kind.
constexpr int kMaxIndex = 4;

bool opens(int kind, int index) {
    std::shared_ptr<zorbel::host::DeviceHandle> handle = zorbel::open_device(kind, index);
    if (!handle) return false;
    handle->close();
    return true;
}

}  // namespace

int Get_Zorbel_State(int number) {
    int k = 0;
    for (int j = 0; j < kMaxIndex; ++j) {
        if (opens(DEVICE_KIND_BOOT, j)) {
            if (k == number) return 1;
            ++k;
        }
    }
    for (int j = 0; j < kMaxIndex; ++j) {
        if (opens(DEVICE_KIND_NORMAL, j)) {
            if (k == number) return 2;
            ++k;
        }
    }
    return -1;
}

int Get_Zorbel_Count() {
    int n = zorbel::count_boot_devices_on_bus();
    for (int j = 0; j < kMaxIndex; ++j) {
        if (opens(DEVICE_KIND_NORMAL, j)) ++n;
    }
    return n;
}

int Get_Real_Zorbel_Count() {
    zorbel::BusCounts counts = zorbel::walk_usb_hubs();
    return counts.boot + counts.normal;
}

bool Get_Zorbel_Info(int number, int* type, char* id, char* hardware_id) {
    if (Get_Zorbel_State(number) != 2) return false;
    // Boot-mode devices come first in the numbering; they are counted on the
    // bus here, which agrees with the state query while every boot-mode
    // device on the bus is also listed as one.
    int index = number - zorbel::count_boot_devices_on_bus();
    std::shared_ptr<zorbel::host::DeviceHandle> handle = zorbel::open_device(DEVICE_KIND_NORMAL, index);
    if (!handle) return false;
    unsigned char record[zorbel::host::kInfoRecordSize] = {};
    bool answered = handle->get_info(record);
    handle->close();
    if (!answered) return false;

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
    if (!hardware_id) return -1;
    for (int i = 0; i < kMaxIndex; ++i) {
        char read[13];
        if (Get_Zorbel_HardwareID(i, read) && std::strcmp(read, hardware_id) == 0) return i;
    }
    return -1;
}

int Boot_Zorbel(int index, void* image, int size) {
    // Refused before any request: nothing sensible can be handed over.
    if (size < 0 || (!image && size != 0)) return -1;
    std::shared_ptr<zorbel::host::DeviceHandle> handle = zorbel::open_device(DEVICE_KIND_BOOT, index);
    if (!handle) return -1;
    int result = handle->boot(image, static_cast<unsigned int>(size));
    handle->close();
    // 0 taken, 1 refused; a request that failed because the device went away
    // in the meantime reports "no device", like a failed open.
    return result == 0 || result == 1 ? result : -1;
}

int Register_Zorbel_Connect_proc(void (*)(int)) { return -1; }

int Register_Zorbel_Disconnect_proc(void (*)(int)) { return -1; }
