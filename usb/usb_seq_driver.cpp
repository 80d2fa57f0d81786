#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "support/critical_section.h"
#include "support/mutex.h"
#include "usb/capture_tap.h"
#include "usb/discovery.h"
#include "usb/host.h"
#include "usb/hub_walk.h"
#include "usb/info_record.h"
#include "support/log.h"
#include "zorbel/usb.h"

// What the driver and its reader thread share. The reader holds its own
// reference, so the context lives until both the driver and the reader are
// done with it, whichever lets go last.
struct USBSeqDriver::ReaderContext {
    // The driver, until done() detaches it. Only ever changes from the driver
    // to null; the reader reads it between its steps without the lock.
    std::atomic<USBSeqDriver*> driver{nullptr};
    // Held by the reader for each step that touches the driver (a hand-over
    // to the block engine, a reconnection); done() takes it after detaching,
    // so a step under way is finished before done() goes on. Re-entrant: the
    // reader, holding it, calls done() when a reconnection fails. Taken
    // before the block engine's locks (a hand-over holds it while the engine
    // takes the critical section).
    zorbel::detail::RecursiveMutex lock ACQUIRED_BEFORE(zorbel::detail::critical_section);
    // Set by done(): cuts short the pauses of a reconnection, so stopping
    // never waits out the 50 attempts.
    Flag abort;
    // Set by the owner before it joins the reader: a reader that ended its
    // connection itself stops trying to wake the channels then, as the
    // owner's stop wakes them.
    std::atomic<bool> owner_stopping{false};
};

namespace {
// The context whose reader runs on this thread, so that done() called by the
// reader itself (a failed reconnection) does not try to join its own thread.
thread_local const void* running_reader = nullptr;

void pause_ms(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A hardware ID field as text for the log (the field need not end in a NUL).
template <std::size_t N>
std::string id_text(const char (&id)[N]) {
    return std::string(id, strnlen(id, N));
}

}  // namespace

std::atomic<int> USBSeqDriver::open_retries{10};
std::atomic<int> USBSeqDriver::open_retry_pause{100};

USBSeqDriver::USBSeqDriver()
    : out_count(0),
      callback_buff(nullptr),
      callback_buff_len(0),
      block_driver(nullptr),
      tap(std::make_unique<zorbel::detail::CaptureTap>()) {
    set_i_timeout(10000);
    set_o_timeout(10000);
    reader_ended.set(true);
    std::memset(out_buf, 0, sizeof out_buf);
    std::memset(hardware_id, 0, sizeof hardware_id);
    std::memset(device_id, 0, sizeof device_id);
}

// A driver destroyed without done() still stops its reader first: the reader
// must never reach a driver that is gone.
USBSeqDriver::~USBSeqDriver() {
    finish();
    stop_reader();
    close_port(nullptr);
}

std::shared_ptr<zorbel::host::DeviceHandle> USBSeqDriver::current_handle() {
    std::lock_guard<std::mutex> lock(handle_mutex);
    return device;
}

void USBSeqDriver::replace_handle(std::shared_ptr<zorbel::host::DeviceHandle> handle) {
    std::shared_ptr<zorbel::host::DeviceHandle> old;
    {
        std::lock_guard<std::mutex> lock(handle_mutex);
        old = std::move(device);
        device = std::move(handle);
    }
    // Closed outside the lock: closing ends requests under way, and a flush
    // holding its own reference then fails instead of writing to a stale device.
    if (old) old->close();
}

// No byte queue exists: received data goes to the block engine through the
// reader. input_ready is set only by done(), so this waits out the time-out,
// or returns at once when the driver is finished.
int USBSeqDriver::hget_byte() {
    if (is_finished()) return -1;
    if (!input_ready.wait_set(get_i_timeout(0)) || is_finished()) return -1;
    driver_lock.lock();
    input_ready.clear();
    driver_lock.unlock();
    return -1;
}

bool USBSeqDriver::hput_byte(int c) {
    out_buf[out_count++] = static_cast<unsigned char>(c);
    if (out_count < out_buf_size) return true;
    return flush();
}

bool USBSeqDriver::hput_bytes(const unsigned char* data, unsigned int n) {
    bool ok = true;
    while (n > 0) {
        const unsigned int take = std::min<unsigned int>(n, out_buf_size - out_count);
        std::memcpy(out_buf + out_count, data, take);
        out_count += take;
        data += take;
        n -= take;
        if (out_count == out_buf_size) ok = flush() && ok;
    }
    return ok;
}

// The queued bytes leave as one transfer, which the device sees as one write;
// whatever the outcome, they are dropped afterwards (the channel's stop-and-
// wait exchange sends a lost block again, this layer does not).
bool USBSeqDriver::flush() {
    if (out_count == 0) return true;
    std::shared_ptr<zorbel::host::DeviceHandle> handle = current_handle();
    long sent = tap->write(handle.get(), out_buf, out_count);
    bool ok = sent == static_cast<long>(out_count);
    out_count = 0;
    return ok;
}

// A real device's bulk OUT transfer completes only once the device has taken
// it; the backend knows whether its writes can wait so.
bool USBSeqDriver::flush_waits_for_peer() {
    std::shared_ptr<zorbel::host::DeviceHandle> handle = current_handle();
    return !handle || handle->write_waits_for_peer();
}

// `index` is a device number, as the connection and the lookup by hardware ID
// hand it over and as the device functions count: boot-mode devices first.
// Opened as it stands it would name another device, or none, whenever a
// device waits in its boot loader; so the boot-mode devices are taken off,
// as Get_Zorbel_Info does. With no boot-mode device attached the two agree.
std::shared_ptr<zorbel::host::DeviceHandle> USBSeqDriver::open_once(long index) {
    if (index < 0 || index > INT_MAX) return nullptr;
    long normal_index = index - static_cast<long>(zorbel::count_boot_devices_on_bus());
    if (normal_index < 0) return nullptr;
    return zorbel::open_device(DEVICE_KIND_NORMAL, static_cast<int>(normal_index));
}

bool USBSeqDriver::read_identity(zorbel::host::DeviceHandle& handle, char* hw_id, char* id) {
    unsigned char record[zorbel::host::kInfoRecordSize] = {};
    if (!handle.get_info(record)) return false;
    zorbel::detail::decode_info_record(record, nullptr, id, hw_id);
    return true;
}

const char* USBSeqDriver::get_device_id() { return device_id; }

// A device may take a moment to appear after it was plugged in or switched
// to normal mode, so the open is retried open_retries times, each failure
// (the last included) followed by a pause. The identity is read from the
// device just opened, not looked up by number again: the numbers shift when
// another device arrives or leaves in between.
bool USBSeqDriver::open_port(char*, long index, long) {
    for (int left = open_retries.load(); left > 0; --left) {
        std::shared_ptr<zorbel::host::DeviceHandle> handle = open_once(index);
        if (handle) {
            if (!read_identity(*handle, hardware_id, device_id)) {
                std::memset(hardware_id, 0, sizeof hardware_id);
                std::memset(device_id, 0, sizeof device_id);
            }
            replace_handle(std::move(handle));
            return true;
        }
        pause_ms(open_retry_pause.load());
    }
    replace_handle(nullptr);
    std::memset(device_id, 0, sizeof device_id);
    return false;
}

bool USBSeqDriver::close_port(char*) {
    replace_handle(nullptr);
    return true;
}

bool USBSeqDriver::init() {
    // A reader left from an earlier run (one that ended on a failed
    // reconnection, or was never stopped) is ended and joined first: one
    // reader per driver.
    stop_reader();
    finished.store(false);
    auto context = std::make_shared<ReaderContext>();
    context->driver.store(this);
    reader_context = context;
    try {
        reader = std::thread(usb_reader_thread, context);
    } catch (const std::system_error&) {
        // Without a reader nothing is received; the streams time out.
        reader_context.reset();
    }
    return true;
}

void USBSeqDriver::detach_reader() {
    std::shared_ptr<ReaderContext> context = reader_context;
    if (!context) return;
    // Detach before cancelling: a reader that starts a read after the
    // cancel finds itself detached first, or meets the sticky cancel.
    context->driver.store(nullptr);
    context->abort.set(true);
    if (std::shared_ptr<zorbel::host::DeviceHandle> handle = current_handle()) handle->cancel_read();
    // Wait for a step under way (a hand-over or a reconnection) to end.
    zorbel::detail::RecursiveMutexLock lock(context->lock);
}

void USBSeqDriver::stop_reader() {
    std::shared_ptr<ReaderContext> context = reader_context;
    if (context && running_reader == context.get()) {
        // The reader itself, from a failed reconnection: it ends when this
        // call returns to it, and the owner's next done() joins it.
        detach_reader();
        return;
    }
    if (context) context->owner_stopping.store(true);
    detach_reader();
    if (reader.joinable()) reader.join();
    reader_context.reset();
}

bool USBSeqDriver::done() {
    const bool on_reader = reader_context && running_reader == reader_context.get();
    stop_reader();
    finish();
    input_ready.set(true);
    // No block will come to wake a stream waiting on its channel; without
    // this a flush with no time-out would wait for ever. The reader itself (a
    // failed reconnection) must not wait for the critical section, whose
    // holder may be waiting for it: it leaves the wake-up recorded when the
    // lock is taken, and tries again once it has let go of its context.
    if (BlockDriver* engine = get_input_block_driver()) {
        if (on_reader)
            engine->post_wake_channels();
        else
            engine->wake_channels();
    }
    return true;
}

bool USBSeqDriver::set_input_callback_buff(unsigned char* buf, unsigned int len) {
    callback_buff.store(buf);
    callback_buff_len.store(len);
    return true;
}

bool USBSeqDriver::set_input_block_driver(BlockDriver* bd) {
    block_driver.store(bd);
    return true;
}

BlockDriver* USBSeqDriver::get_input_block_driver() { return block_driver.load(); }
unsigned char* USBSeqDriver::get_input_callback_buff() { return callback_buff.load(); }
unsigned int USBSeqDriver::get_input_callback_buff_len() { return callback_buff_len.load(); }

// Hands one completed read to the block engine. The engine refuses a chunk
// while its channel table is locked or the critical section is held
// elsewhere; the chunk is then offered again rather than lost, because a lost
// chunk would cost every channel in it a repeated request (100 ms or more).
// Between offers the reader waits as the engine says, never spinning, and
// without its context lock, so that done() can detach it meanwhile.
void USBSeqDriver::deliver(ReaderContext& context, unsigned char* buf, unsigned int len) {
    for (unsigned int refusals = 0;; ++refusals) {
        BlockDriver* engine = nullptr;
        {
            zorbel::detail::RecursiveMutexLock lock(context.lock);
            USBSeqDriver* driver = context.driver.load();
            if (!driver) return;
            engine = driver->get_input_block_driver();
            if (!engine || engine->dispatch_block_callback(buf, len)) return;
            if (refusals == 0)
                ZORBEL_LOG(zorbel::LogLevel::debug, "device "
                                                        << driver->hardware_id << ": a chunk of " << len
                                                        << " bytes was refused for now; offering it again");
        }
        // The engine outlives the reader: its owner detaches it and joins
        // this thread before destroying it.
        engine->await_dispatch(refusals);
    }
}

// Like deliver: tried under the context lock (so done() waits for a try under
// way), waited for without it.
void USBSeqDriver::settle(ReaderContext& context) {
    for (unsigned int refusals = 0;; ++refusals) {
        BlockDriver* engine = nullptr;
        {
            zorbel::detail::RecursiveMutexLock lock(context.lock);
            USBSeqDriver* driver = context.driver.load();
            if (!driver) return;  // the owner stops, and wakes the channels itself
            engine = driver->get_input_block_driver();
            if (!engine || engine->settle_link_events()) return;
        }
        engine->await_dispatch(refusals);
    }
}

// After a failed read: the device went away (unplugged, reset) or hung. A
// device that comes back may do so at another index, so each attempt looks
// it up afresh by its hardware ID. Runs on the reader thread with the context
// lock held.
bool USBSeqDriver::reconnect(ReaderContext& context) {
    char wanted[sizeof hardware_id];
    std::memcpy(wanted, hardware_id, sizeof wanted);
    for (int left = open_retries.load(); left > 0 && context.driver.load(); --left) {
        int index = GetOpenIndexForDeviceByHID(wanted);
        if (index != -1) {
            std::shared_ptr<zorbel::host::DeviceHandle> handle = open_once(index);
            // The number may have passed to another device since the look-up.
            char found[sizeof hardware_id] = {};
            if (handle && read_identity(*handle, found, nullptr) &&
                std::memcmp(found, wanted, sizeof wanted) == 0) {
                replace_handle(std::move(handle));
                // Before the first read on the new handle, so that nothing
                // the device sends now meets half a block from the old one.
                // Only tried here (this thread holds the context lock, which
                // a stop inside the critical section waits for); what the
                // engine could not do at once, the reader's settle() or the
                // first delivery does.
                if (BlockDriver* engine = get_input_block_driver()) engine->resume_channels();
                ZORBEL_LOG(zorbel::LogLevel::info,
                           "reconnected to " << id_text(wanted) << " as device " << index);
                return true;
            }
            if (handle) handle->close();
        }
        int pause = open_retry_pause.load();
        if (pause > 0) context.abort.sys_wait_set(static_cast<unsigned long>(pause));
    }
    return false;
}

// By value: the reader's own reference keeps the context alive for as long as
// it runs, whatever the driver does meanwhile.
void USBSeqDriver::usb_reader_thread(
    std::shared_ptr<ReaderContext> context) {  // NOLINT(performance-unnecessary-value-param)
    running_reader = context.get();
    unsigned char* buf;
    unsigned int len;
    {
        zorbel::detail::RecursiveMutexLock lock(context->lock);
        USBSeqDriver* driver = context->driver.load();
        if (!driver) return;
        driver->reader_ended.clear();
        // Taken once: the owner hands the buffer over before init() and takes
        // it back only after done() has joined this thread.
        buf = driver->get_input_callback_buff();
        len = driver->get_input_callback_buff_len();
        if (!buf || len == 0) {
            driver->reader_ended.set(true);
            return;
        }
    }

    while (USBSeqDriver* driver = context->driver.load()) {
        std::shared_ptr<zorbel::host::DeviceHandle> handle = driver->current_handle();
        long got = driver->tap->read(handle.get(), buf, len);
        handle.reset();
        if (got > 0) {
            deliver(*context, buf, static_cast<unsigned int>(got));
            continue;
        }
        // The read failed: cancelled by done(), or the device is gone.
        if (!context->driver.load()) break;
        {
            zorbel::detail::RecursiveMutexLock lock(context->lock);
            driver = context->driver.load();
            if (!driver) break;
            ZORBEL_LOG(zorbel::LogLevel::info,
                       "read from " << id_text(driver->hardware_id) << " failed; reconnecting");
            driver->close_port(nullptr);
        }
        int pause = open_retry_pause.load();
        if (pause > 0) context->abort.sys_wait_set(static_cast<unsigned long>(pause));
        open_retries.store(50);
        // The engine of a connection that this reader ends, whose channels
        // still need their wake-up.
        BlockDriver* ended = nullptr;
        {
            zorbel::detail::RecursiveMutexLock lock(context->lock);
            driver = context->driver.load();
            if (driver && !driver->reconnect(*context)) {
                ZORBEL_LOG(zorbel::LogLevel::warning, "could not reconnect to "
                                                          << id_text(driver->hardware_id)
                                                          << "; the connection ends");
                driver->close_port(nullptr);
                ended = driver->get_input_block_driver();
                driver->done();
            }
        }
        open_retries.store(100);
        if (!ended) {
            settle(*context);
            continue;
        }
        // Detached now, so settle() would give up at once. The engine
        // outlives this thread (its owner joins it first), and the owner's
        // stop wakes the channels itself, so trying ends there.
        for (unsigned int refusals = 0; !ended->settle_link_events() && !context->owner_stopping.load();
             ++refusals)
            ended->await_dispatch(refusals);
        break;
    }

    zorbel::detail::RecursiveMutexLock lock(context->lock);
    if (USBSeqDriver* driver = context->driver.load()) driver->reader_ended.set(true);
}
