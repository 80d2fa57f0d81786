// A capture of USB transfers in pcapng, in the layout of a Linux usbmon
// capture (LINKTYPE_USB_LINUX_MMAPPED, 220): each transfer is a submission
// record and a completion record with the 64-byte usbmon header, so a
// capture written here and one taken of a real device with usbmon read the
// same way in the usual packet tools.
//
// Recording must never slow or stall the transfers it watches: record()
// copies the record into a bounded ring under a short lock and returns; a
// writer thread owned by the file empties the ring to disk. When the ring is
// full the record is dropped and counted; the count ends up in the file (the
// section's comment and its interface statistics) and in the log.
#ifndef ZORBEL_USB_CAPTURE_FILE_H
#define ZORBEL_USB_CAPTURE_FILE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "support/mutex.h"

namespace zorbel {
namespace detail {

// The usbmon fields of one record besides its data.
struct UsbEvent {
    char type = 'S';            // 'S' submission, 'C' completion
    std::uint8_t endpoint = 0;  // bit 7 set: IN
    std::uint16_t bus = 0;      // bus number
    std::uint8_t device = 0;    // device address on that bus
    std::int32_t status = 0;    // 0 or a negative errno, as the kernel reports
    std::uint32_t length = 0;   // the transfer's length (asked for, or done)
    std::uint64_t id = 0;       // the same in a submission and its completion
};

class CaptureFile {
public:
    static constexpr std::size_t kDefaultRing = 4u << 20;

    // Creates (or, with `append`, adds a new section to) the file and starts
    // its writer. Null with `ec` set when the file cannot be opened.
    static std::shared_ptr<CaptureFile> open(const std::string& path, bool append, std::error_code& ec,
                                             std::size_t ring_bytes = kDefaultRing);
    // Writes what the ring still holds, the section's closing statistics and
    // the drop count, and closes the file; joins the writer.
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // One record, stamped now (microseconds). Never blocks on the disk.
    void record(const UsbEvent& event, const unsigned char* data, std::uint32_t data_len) noexcept;
    // A fresh id for a transfer's pair of records.
    std::uint64_t next_id() noexcept { return ids_.fetch_add(1, std::memory_order_relaxed); }

    std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
    const std::string& path() const noexcept { return path_; }

    struct Private;  // lets open() build one
    CaptureFile(Private, std::FILE* file, std::string path, std::size_t ring_bytes);

private:
    void run_writer();
    // Copies `n` bytes into the ring at head_, wrapping.
    void put_locked(const void* bytes, std::size_t n) REQUIRES(mutex_);
    void write_header();
    void write_trailer();

    std::FILE* const file_;
    const std::string path_;
    std::atomic<std::uint64_t> ids_{1};
    std::atomic<std::uint64_t> dropped_{0};

    Mutex mutex_;
    std::condition_variable wake_;
    std::vector<unsigned char> ring_;          // the bytes between tail_ and head_ are the writer's
    std::size_t head_ GUARDED_BY(mutex_) = 0;  // total bytes put, modulo nothing
    std::size_t tail_ GUARDED_BY(mutex_) = 0;  // total bytes written out
    bool writer_waiting_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    bool broken_ GUARDED_BY(mutex_) = false;  // a write to disk failed: drop everything
    std::int64_t first_us_ GUARDED_BY(mutex_) = 0;
    std::int64_t last_us_ GUARDED_BY(mutex_) = 0;
    long comment_offset_ = -1;  // where the drop count is, to rewrite it at the end
    std::thread writer_;
};

}  // namespace detail
}  // namespace zorbel

#endif
