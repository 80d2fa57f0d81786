// USB transport and devices: the USB implementation of the byte transport
// with its reader thread, and the plain device functions.
//
// Devices are reached through the device host, one narrow seam with a backend
// per platform (libusb on Linux) and the emulated bus of zorbel/emulator.h;
// nothing here knows which backend runs.
#ifndef ZORBEL_USB_H
#define ZORBEL_USB_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "zorbel/block.h"
#include "zorbel/export.h"
#include "zorbel/support.h"

// The classic interface keeps the names that client programs written against
// it use, so the internal code's naming rule does not apply from here on.
// NOLINTBEGIN(readability-identifier-naming)

#define DEVICE_KIND_NORMAL 0
#define DEVICE_KIND_BOOT 1

// USB identity of the device on the bus.
#define ZORBEL_USB_VENDOR_ID 0x0B66
#define ZORBEL_USB_PRODUCT_BOOT 0x0040
#define ZORBEL_USB_PRODUCT_NORMAL 0x0041

namespace zorbel {
namespace host {
class DeviceHandle;
}
namespace detail {
class CaptureTap;
}
}  // namespace zorbel

// --- device functions -------------------------------------------------------
// Device numbers count boot-mode devices first (enumeration index 0..3), then
// normal-mode devices (0..3). Nothing is cached: every call looks afresh.

// Boot-mode devices on the bus plus normal-mode devices that open.
ZORBEL_API int Get_Zorbel_Count();
// Devices with the vendor ID and either product ID, by a walk of the bus.
ZORBEL_API int Get_Real_Zorbel_Count();
// 1 boot mode, 2 normal mode, -1 no such device.
ZORBEL_API int Get_Zorbel_State(int number);
// Normal-mode devices only. `id` holds 8 bytes, `hardware_id` 13.
ZORBEL_API bool Get_Zorbel_Info(int number, int* type, char* id, char* hardware_id);
ZORBEL_API bool Get_Zorbel_HardwareID(int number, char* hardware_id);
ZORBEL_API bool Get_Zorbel_ID(int number, char* id);
// First device number 0..3 whose hardware ID equals the text; -1 if none.
ZORBEL_API int GetOpenIndexForDeviceByHID(char* hardware_id);
// Hands an image to boot-mode device `index`: 0 accepted, 1 refused, -1 no
// such device or bad arguments (negative size, null image with a size).
ZORBEL_API int Boot_Zorbel(int index, void* image, int size);
// Kept for client programs; always -1, and `proc` is never called.
ZORBEL_API int Register_Zorbel_Connect_proc(void (*proc)(int));
ZORBEL_API int Register_Zorbel_Disconnect_proc(void (*proc)(int));

// --- the USB byte transport ------------------------------------------------

// The byte transport to one normal-mode device. Outgoing bytes collect in a
// 4096-byte queue and leave in one write per flush (one block). A reader
// thread keeps one read of the owner's buffer outstanding and hands each
// completed read to the block engine; when a read fails it reopens the same
// device by hardware ID (up to 50 attempts 100 ms apart) or finishes.
//
// Thread-safety: open_port/init/done/close_port and the destructor on the
// owner's thread; hput_byte/flush under the block engine's output mutex;
// the reader thread is started by init() and joined by done().
class ZORBEL_API USBSeqDriver : public FormalSeqDriver {
public:
    static constexpr unsigned int out_buf_size = 4096;

    USBSeqDriver();
    ~USBSeqDriver() override;
    USBSeqDriver(const USBSeqDriver&) = delete;
    USBSeqDriver& operator=(const USBSeqDriver&) = delete;

    int hget_byte() override;
    bool hput_byte(int c) override;
    bool hput_bytes(const unsigned char* data, unsigned int n) override;
    // As the open device's handle says (true with none open).
    bool flush_waits_for_peer() override;
    bool open_port(char* name, long index, long reserved) override;
    bool close_port(char* name) override;
    bool init() override;
    bool done() override;
    bool flush() override;
    bool set_input_callback_buff(unsigned char* buf, unsigned int len) override;
    bool set_input_block_driver(BlockDriver* bd) override;
    BlockDriver* get_input_block_driver() override;
    unsigned char* get_input_callback_buff() override;
    unsigned int get_input_callback_buff_len() override;

    // The 7-character ID of the device open_port opened, read from that
    // device itself (so a device that took another's number in between is
    // not mistaken for the one asked for); empty when none is open or its
    // record could not be read. The pointer lives as long as the driver; the
    // text changes with the next open_port.
    const char* get_device_id();

    // Where this driver's transfers are recorded (see usb/capture_tap.h):
    // the capture ZORBEL_CAPTURE names from construction, or one of the
    // program's choosing. Internal; lives as long as the driver.
    zorbel::detail::CaptureTap& capture_tap() { return *tap; }

    // Process-wide: open attempts made by open_port (10 at start; 50 during a
    // reconnection and 100 after one), and the pause between attempts.
    static std::atomic<int> open_retries;
    static std::atomic<int> open_retry_pause;

private:
    struct ReaderContext;
    static void usb_reader_thread(std::shared_ptr<ReaderContext> context);
    static void deliver(ReaderContext& context, unsigned char* buf, unsigned int len);
    // Has the engine carry out what the reader asked of its channels (a
    // resumption, a wake-up), waiting between tries as deliver does.
    static void settle(ReaderContext& context);
    bool reconnect(ReaderContext& context);
    std::shared_ptr<zorbel::host::DeviceHandle> current_handle();
    void replace_handle(std::shared_ptr<zorbel::host::DeviceHandle> handle);
    static std::shared_ptr<zorbel::host::DeviceHandle> open_once(long index);
    // Reads the hardware ID and ID from the opened device's own record;
    // false when the record cannot be read.
    static bool read_identity(zorbel::host::DeviceHandle& handle, char* hardware_id, char* id);
    // Detaches the reader and waits for its step under way; stop_reader also
    // joins it, unless called on the reader thread itself.
    void detach_reader();
    void stop_reader();

    std::shared_ptr<ReaderContext> reader_context;
    std::thread reader;
    std::mutex handle_mutex;  // guards `device`
    std::shared_ptr<zorbel::host::DeviceHandle> device;
    Flag input_ready;
    Flag reader_ended;
    unsigned char out_buf[out_buf_size];
    std::uint32_t out_count;  // under the block engine's output mutex
    MutexCounter driver_lock;
    std::atomic<unsigned char*> callback_buff;
    std::atomic<unsigned int> callback_buff_len;
    std::atomic<BlockDriver*> block_driver;
    char hardware_id[13];
    char device_id[8];
    std::unique_ptr<zorbel::detail::CaptureTap> tap;
};

// NOLINTEND(readability-identifier-naming)

#endif
