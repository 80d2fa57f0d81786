#include "usb/capture_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "support/log.h"

namespace zorbel {
namespace detail {
namespace {

// pcapng block types and options (all in this host's byte order, which the
// section header's magic tells readers).
constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kInterfaceStatistics = 5;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint16_t kOptEnd = 0;
constexpr std::uint16_t kOptComment = 1;
constexpr std::uint16_t kShbUserAppl = 4;
constexpr std::uint16_t kIfName = 2;
constexpr std::uint16_t kIfTsresol = 9;
constexpr std::uint16_t kIsbStartTime = 2;
constexpr std::uint16_t kIsbEndTime = 3;
constexpr std::uint16_t kIsbIfDrop = 5;
constexpr std::uint16_t kLinkTypeUsbLinuxMmapped = 220;
constexpr std::uint32_t kUsbmonHeader = 64;
constexpr std::uint8_t kTransferBulk = 3;
constexpr std::uint32_t kUrbDirIn = 0x0200;  // the kernel's URB_DIR_IN transfer flag

// The drop count is written into the section's comment twice: as 0 when the
// file is made and with the final count when it is closed, in place, so the
// comment is of fixed width.
constexpr char kDropCommentPrefix[] = "zorbel capture; records dropped because the disk did not keep up: ";
constexpr std::size_t kDropDigits = 20;

std::int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::size_t padded(std::size_t n) { return (n + 3) & ~static_cast<std::size_t>(3); }

// Builds a block in memory; options and bodies in host order.
class Block {
public:
    explicit Block(std::uint32_t type) {
        u32(type);
        u32(0);  // total length, filled in by finish()
    }
    void u8(std::uint8_t v) { bytes_.push_back(v); }
    void u16(std::uint16_t v) { raw(&v, sizeof v); }
    void u32(std::uint32_t v) { raw(&v, sizeof v); }
    void u64(std::uint64_t v) { raw(&v, sizeof v); }
    void raw(const void* p, std::size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
    }
    // One option; returns where its value starts.
    std::size_t option(std::uint16_t code, const void* value, std::size_t n) {
        u16(code);
        u16(static_cast<std::uint16_t>(n));
        std::size_t at = bytes_.size();
        raw(value, n);
        bytes_.resize(padded(bytes_.size()), 0);
        return at;
    }
    void option(std::uint16_t code, const std::string& text) { option(code, text.data(), text.size()); }
    const std::vector<unsigned char>& finish() {
        u16(kOptEnd);
        u16(0);
        auto total = static_cast<std::uint32_t>(bytes_.size() + 4);
        u32(total);
        std::memcpy(bytes_.data() + 4, &total, sizeof total);
        return bytes_;
    }

private:
    std::vector<unsigned char> bytes_;
};

std::string drop_comment(std::uint64_t dropped) {
    std::string digits = std::to_string(dropped);
    digits.resize(kDropDigits, ' ');
    return kDropCommentPrefix + digits;
}

}  // namespace

struct CaptureFile::Private {};

std::shared_ptr<CaptureFile> CaptureFile::open(const std::string& path, bool append, std::error_code& ec,
                                               std::size_t ring_bytes) {
    // Binary, and for a new file truncated; "a" keeps what an earlier
    // connection of this process wrote and adds a section after it.
    std::FILE* file = std::fopen(path.c_str(), append ? "ab" : "wb");
    if (!file) {
        ec = std::error_code(errno, std::generic_category());
        return nullptr;
    }
    ec.clear();
    auto capture =
        std::make_shared<CaptureFile>(Private{}, file, path, std::max<std::size_t>(ring_bytes, 64));
    return capture;
}

CaptureFile::CaptureFile(Private, std::FILE* file, std::string path, std::size_t ring_bytes)
    : file_(file), path_(std::move(path)), ring_(ring_bytes) {
    write_header();
    writer_ = std::thread([this] { run_writer(); });
}

CaptureFile::~CaptureFile() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
    write_trailer();
    std::fclose(file_);
    if (std::uint64_t lost = dropped())
        ZORBEL_LOG(LogLevel::warning, "capture " << path_ << ": " << lost
                                                 << " records dropped because the disk did not keep up");
}

void CaptureFile::write_header() {
    Block shb(kSectionHeader);
    shb.u32(kByteOrderMagic);
    shb.u16(1);  // version 1.0
    shb.u16(0);
    shb.u64(~std::uint64_t{0});  // section length not given
    std::string comment = drop_comment(0);
    std::size_t comment_at = shb.option(kOptComment, comment.data(), comment.size());
    shb.option(kShbUserAppl, std::string("zorbel"));
    const std::vector<unsigned char>& s = shb.finish();

    Block idb(kInterfaceDescription);
    idb.u16(kLinkTypeUsbLinuxMmapped);
    idb.u16(0);
    idb.u32(0);  // no snapshot limit: transfers are recorded whole
    idb.option(kIfName, std::string("zorbel"));
    const std::uint8_t microseconds = 6;
    idb.option(kIfTsresol, &microseconds, 1);
    const std::vector<unsigned char>& i = idb.finish();

    // The drop count is rewritten in place at the end when the file can seek
    // (not a pipe to a live reader).
    long start = std::ftell(file_);
    if (start >= 0) comment_offset_ = start + static_cast<long>(comment_at + std::strlen(kDropCommentPrefix));
    std::fwrite(s.data(), 1, s.size(), file_);
    std::fwrite(i.data(), 1, i.size(), file_);
    std::fflush(file_);
}

void CaptureFile::write_trailer() {
    std::int64_t first, last;
    {
        MutexLock lock(mutex_);
        first = first_us_;
        last = last_us_;
    }
    const std::uint64_t lost = dropped();
    Block isb(kInterfaceStatistics);
    isb.u32(0);  // interface 0
    auto stamp = static_cast<std::uint64_t>(last);
    isb.u32(static_cast<std::uint32_t>(stamp >> 32));
    isb.u32(static_cast<std::uint32_t>(stamp));
    std::uint32_t first_parts[2] = {static_cast<std::uint32_t>(static_cast<std::uint64_t>(first) >> 32),
                                    static_cast<std::uint32_t>(first)};
    std::uint32_t last_parts[2] = {static_cast<std::uint32_t>(stamp >> 32),
                                   static_cast<std::uint32_t>(stamp)};
    if (first != 0) {
        isb.option(kIsbStartTime, first_parts, sizeof first_parts);
        isb.option(kIsbEndTime, last_parts, sizeof last_parts);
    }
    isb.option(kIsbIfDrop, &lost, sizeof lost);
    const std::vector<unsigned char>& b = isb.finish();
    std::fwrite(b.data(), 1, b.size(), file_);
    if (lost != 0 && comment_offset_ >= 0 && std::fseek(file_, comment_offset_, SEEK_SET) == 0) {
        std::string digits = std::to_string(lost);
        digits.resize(kDropDigits, ' ');
        std::fwrite(digits.data(), 1, digits.size(), file_);
        std::fseek(file_, 0, SEEK_END);
    }
    std::fflush(file_);
}

void CaptureFile::put_locked(const void* bytes, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(bytes);
    const std::size_t at = head_ % ring_.size();
    const std::size_t first = std::min(n, ring_.size() - at);
    std::memcpy(ring_.data() + at, b, first);
    if (first < n) std::memcpy(ring_.data(), b + first, n - first);
    head_ += n;
}

void CaptureFile::record(const UsbEvent& event, const unsigned char* data, std::uint32_t data_len) noexcept {
    if (!data) data_len = 0;
    const std::uint32_t captured = kUsbmonHeader + data_len;
    const std::size_t block_len = 28 + padded(captured) + 4;

    // The usbmon header (the kernel's mon_bin_hdr with the mmapped tail).
    unsigned char hdr[kUsbmonHeader] = {};
    std::memcpy(hdr + 0, &event.id, 8);
    hdr[8] = static_cast<unsigned char>(event.type);
    hdr[9] = kTransferBulk;
    hdr[10] = event.endpoint;
    hdr[11] = event.device;
    std::memcpy(hdr + 12, &event.bus, 2);
    hdr[14] = '-';  // no setup packet: not a control transfer
    // 0 when data follows; otherwise the kernel's tag for why none does.
    const bool in = (event.endpoint & 0x80) != 0;
    hdr[15] = data_len != 0 ? 0 : static_cast<unsigned char>(in ? '<' : '>');
    std::memcpy(hdr + 28, &event.status, 4);
    std::memcpy(hdr + 32, &event.length, 4);
    std::memcpy(hdr + 36, &data_len, 4);
    const std::uint32_t flags = in ? kUrbDirIn : 0;
    std::memcpy(hdr + 56, &flags, 4);

    bool wake = false;
    {
        MutexLock lock(mutex_);
        if (broken_ || stopping_ || block_len > ring_.size() - (head_ - tail_)) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        // Stamped under the lock, so records are in time order in the file.
        const std::int64_t us = now_us();
        if (first_us_ == 0) first_us_ = us;
        last_us_ = us;
        const std::int64_t sec = us / 1000000;
        const auto usec = static_cast<std::int32_t>(us % 1000000);
        std::memcpy(hdr + 16, &sec, 8);
        std::memcpy(hdr + 24, &usec, 4);

        const auto stamp = static_cast<std::uint64_t>(us);
        const std::uint32_t epb[7] = {kEnhancedPacket,
                                      static_cast<std::uint32_t>(block_len),
                                      0,
                                      static_cast<std::uint32_t>(stamp >> 32),
                                      static_cast<std::uint32_t>(stamp),
                                      captured,
                                      captured};
        put_locked(epb, sizeof epb);
        put_locked(hdr, sizeof hdr);
        if (data_len) put_locked(data, data_len);
        static const unsigned char kZeros[4] = {};
        put_locked(kZeros, padded(captured) - captured);
        const auto total = static_cast<std::uint32_t>(block_len);
        put_locked(&total, sizeof total);
        wake = writer_waiting_;
    }
    if (wake) wake_.notify_one();
}

void CaptureFile::run_writer() {
    std::uint64_t reported = 0;
    MutexLock lock(mutex_);
    for (;;) {
        if (head_ == tail_) {
            if (stopping_) return;
            writer_waiting_ = true;
            lock.wait(wake_);
            writer_waiting_ = false;
            continue;
        }
        // The bytes between tail_ and head_ stay put while the lock is let
        // go: producers write only past head_.
        const std::size_t begin = tail_, end = head_;
        const bool broken = broken_;
        lock.unlock();
        bool ok = true;
        if (!broken) {
            const std::size_t at = begin % ring_.size();
            const std::size_t n = end - begin;
            const std::size_t first = std::min(n, ring_.size() - at);
            ok = std::fwrite(ring_.data() + at, 1, first, file_) == first;
            if (ok && first < n) ok = std::fwrite(ring_.data(), 1, n - first, file_) == n - first;
            // Flushed batch by batch, so a reader following the file live
            // (a pipe into a packet tool) sees transfers as they happen.
            ok = ok && std::fflush(file_) == 0;
            if (!ok) ZORBEL_LOG(LogLevel::error, "capture " << path_ << ": writing failed; recording stops");
        }
        const std::uint64_t lost = dropped();
        if (lost != reported) {
            ZORBEL_LOG(LogLevel::warning, "capture "
                                              << path_ << ": " << lost
                                              << " records dropped so far (the disk does not keep up)");
            reported = lost;
        }
        lock.lock();
        tail_ = end;
        if (!ok) broken_ = true;
    }
}

}  // namespace detail
}  // namespace zorbel
