#include "usb/capture_tap.h"

#include <cstdlib>
#include <set>
#include <utility>

#include "support/log.h"

namespace zorbel {
namespace detail {
namespace {

// The status a failed transfer's completion carries. The handle says only
// that it failed, not why; usbmon readers show any negative status as an
// error, and -EIO is the kernel's catch-all.
constexpr std::int32_t kFailed = -5;

Mutex g_environment_mutex;
// The environment's capture while some tap uses it.
std::weak_ptr<CaptureFile> g_environment_file GUARDED_BY(g_environment_mutex);
// Files this process has written: a later capture to one of them adds a
// section instead of overwriting what the earlier connections recorded.
std::set<std::string>& written_paths() REQUIRES(g_environment_mutex) {
    static std::set<std::string> paths;
    return paths;
}

// The submission of a transfer of `len` bytes on `endpoint` of the device
// behind `handle`.
UsbEvent submission(host::DeviceHandle& handle, CaptureFile& capture, std::uint8_t endpoint,
                    unsigned int len) {
    const host::UsbAddress where = handle.address();
    UsbEvent event;
    event.endpoint = endpoint;
    event.bus = where.bus;
    event.device = where.device;
    event.id = capture.next_id();
    event.length = len;
    return event;
}

// Turns a submission into its completion: `moved` bytes, or a failure when
// negative.
void complete(UsbEvent& event, long moved) {
    event.type = 'C';
    event.status = moved < 0 ? kFailed : 0;
    event.length = moved < 0 ? 0 : static_cast<std::uint32_t>(moved);
}

}  // namespace

std::shared_ptr<CaptureFile> CaptureTap::environment_file() {
    const char* path = std::getenv("ZORBEL_CAPTURE");
    if (path == nullptr || *path == '\0') return nullptr;
    MutexLock lock(g_environment_mutex);
    std::shared_ptr<CaptureFile> file = g_environment_file.lock();
    if (file && file->path() == path) return file;
    std::error_code ec;
    const bool append = written_paths().count(path) != 0;
    file = CaptureFile::open(path, append, ec);
    if (!file) {
        ZORBEL_LOG(LogLevel::error, "ZORBEL_CAPTURE: cannot write " << path << ": " << ec.message());
        return nullptr;
    }
    written_paths().insert(path);
    g_environment_file = file;
    ZORBEL_LOG(LogLevel::info, "capturing USB transfers to " << path);
    return file;
}

CaptureTap::CaptureTap() { attach(environment_file()); }

CaptureTap::~CaptureTap() { attach(nullptr); }

void CaptureTap::attach(std::shared_ptr<CaptureFile> file) {
    std::shared_ptr<CaptureFile> old;
    {
        MutexLock lock(mutex_);
        old = std::move(file_);
        file_ = std::move(file);
        on_.store(file_ != nullptr, std::memory_order_relaxed);
    }
    // The last reference closes the file and joins its writer: outside the
    // lock, so a transfer that looks at the tap meanwhile is not held up.
}

std::shared_ptr<CaptureFile> CaptureTap::file() {
    MutexLock lock(mutex_);
    return file_;
}

long CaptureTap::recorded_write(host::DeviceHandle& handle, const unsigned char* data, unsigned int len) {
    std::shared_ptr<CaptureFile> capture = file();
    if (!capture) return handle.write(data, len);
    UsbEvent event = submission(handle, *capture, kBulkOut, len);
    // As usbmon shows an OUT transfer: the data with the submission, the
    // outcome with the completion.
    capture->record(event, data, len);
    const long sent = handle.write(data, len);
    complete(event, sent);
    capture->record(event, nullptr, 0);
    return sent;
}

long CaptureTap::recorded_read(host::DeviceHandle& handle, unsigned char* buf, unsigned int len) {
    std::shared_ptr<CaptureFile> capture = file();
    if (!capture) return handle.read(buf, len);
    UsbEvent event = submission(handle, *capture, kBulkIn, len);
    capture->record(event, nullptr, 0);
    const long got = handle.read(buf, len);
    complete(event, got);
    capture->record(event, buf, event.length);
    return got;
}

}  // namespace detail
}  // namespace zorbel
