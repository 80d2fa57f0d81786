#include "usb/libusb/testing/umockdev_bus.h"

#include <fcntl.h>
#include <link.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>

#include "zorbel/usb.h"

// --- running under the preload ---------------------------------------------------

namespace {

int find_sanitizer(dl_phdr_info* info, size_t, void* out) {
    const char* name = info->dlpi_name;
    if (name != nullptr && (std::strstr(name, "libasan.so") || std::strstr(name, "libtsan.so"))) {
        *static_cast<std::string*>(out) = name;
        return 1;
    }
    return 0;
}

// Runs before main in every program that links the harness: re-executes the
// program with umockdev's preload library, after the sanitizer runtime when
// there is one (that must stay first). Once only: a program that still lacks
// the preload afterwards runs without it and its tests skip.
struct Preload {
    Preload() {
        if (zorbel::testing::UmockdevBus::preload_active()) return;
        if (std::getenv("ZORBEL_UMOCKDEV_TRIED") != nullptr) return;
        if (access(ZORBEL_UMOCKDEV_PRELOAD, R_OK) != 0) return;
        std::string preload;
        dl_iterate_phdr(&find_sanitizer, &preload);
        if (!preload.empty()) preload += ":";
        preload += ZORBEL_UMOCKDEV_PRELOAD;
        if (const char* old = std::getenv("LD_PRELOAD")) preload += std::string(":") + old;
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<char*> argv;
        for (std::size_t i = 0; i < all.size(); i += std::strlen(&all[i]) + 1) argv.push_back(&all[i]);
        argv.push_back(nullptr);
        setenv("ZORBEL_UMOCKDEV_TRIED", "1", 1);
        setenv("LD_PRELOAD", preload.c_str(), 1);
        execv("/proc/self/exe", argv.data());
    }
} preload_first;

}  // namespace

// umockdev hands work to its worker thread through GLib's own locks, which
// ThreadSanitizer cannot see, and libudev (behind umockdev's events and
// libusb's hot-plug monitor) fills buffers of its own from getrandom; what
// happens inside those uninstrumented libraries is not ours to check.
// The name is ThreadSanitizer's, reserved as it is.
extern "C" const char* __tsan_default_suppressions() {  // NOLINT(bugprone-reserved-identifier)
    return "race:libumockdev.so\nrace:libglib-2.0.so\nrace:libgio-2.0.so\n"
           "race:libgobject-2.0.so\nrace:libudev.so\n";
}

namespace zorbel {
namespace testing {

// --- one device node: usbfs answered by a gadget --------------------------------

// The usbfs side of one device node. URBs are answered on umockdev's worker
// thread; completed ones wait in `done` until libusb reaps them. Bulk IN URBs
// wait in `waiting_in` until the gadget has bytes for them.
class UsbfsNode {
public:
    UsbfsNode(std::string fifo_path, std::shared_ptr<Gadget> gadget, int max_packet);
    ~UsbfsNode();

    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    void send_in(const unsigned char* data, std::size_t len);
    void unplug();
    void stall_in(bool for_good, int after_packets);
    void hold_out(bool held);

    UMockdevIoctlBase* handler = nullptr;

private:
    struct Urb {
        UMockdevIoctlClient* client;
        UMockdevIoctlData* urb;     // the client's struct usbdevfs_urb (owned ref)
        UMockdevIoctlData* buffer;  // its buffer (owned ref), or null
        int length;
        int status = 0;
        int actual = 0;
    };
    bool handle(UMockdevIoctlClient* client);
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void fill_waiting_locked(UMockdevIoctlClient* client);
    void update_ready_locked();
    static void release(Urb& u);

    const std::shared_ptr<Gadget> gadget_;
    const int max_packet_;  // of both bulk endpoints
    int fifo_ = -1;         // our end of the node's FIFO

    std::mutex mutex_;                   // guards everything below
    std::deque<unsigned char> in_data_;  // bytes the gadget sent, not yet read
    // The device ended a transfer with a full packet that filled the host's
    // buffer exactly: its zero-length packet ends the next URB.
    bool zlp_owed_ = false;
    bool halted_ = false;           // bulk IN, until CLEAR_HALT
    bool halted_for_good_ = false;  // CLEAR_HALT does not help
    // Packets of IN data still to go before the endpoint halts; -1: none due.
    int packets_before_halt_ = -1;
    std::deque<Urb> waiting_in_;
    // Bulk OUT URBs of a device that stopped taking data: they end only when
    // the host discards them (its time-out) or the device goes.
    std::deque<Urb> waiting_out_;
    bool out_held_ = false;
    std::deque<Urb> done_;
    bool gone_ = false;
    bool ready_ = true;  // FIFO empty (POLLOUT)
    // The open file holding interface 0 (a reference), as usbfs keeps it: one
    // at a time may use the endpoints, until it releases it or closes.
    UMockdevIoctlClient* claimant_ = nullptr;
    bool claim_locked(UMockdevIoctlClient* client);
};

UsbfsNode::UsbfsNode(std::string fifo_path, std::shared_ptr<Gadget> g, int packet)
    : gadget_(std::move(g)), max_packet_(packet) {
    fifo_ = ::open(fifo_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo_ >= 0) fcntl(fifo_, F_SETPIPE_SZ, 4096);
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(&UsbfsNode::on_ioctl), this);
    if (gadget_) gadget_->send_in = [this](const unsigned char* d, std::size_t n) { send_in(d, n); };
    std::lock_guard<std::mutex> lock(mutex_);
    update_ready_locked();
}

UsbfsNode::~UsbfsNode() {
    if (gadget_) gadget_->unplugged();
    g_signal_handlers_disconnect_by_data(handler, this);
    g_object_unref(handler);
    std::lock_guard<std::mutex> lock(mutex_);
    for (Urb& u : waiting_in_) release(u);
    for (Urb& u : waiting_out_) release(u);
    for (Urb& u : done_) release(u);
    if (claimant_) g_object_unref(claimant_);
    if (fifo_ >= 0) ::close(fifo_);
}

bool UsbfsNode::claim_locked(UMockdevIoctlClient* client) {
    if (claimant_ == client) return true;
    if (claimant_ && umockdev_ioctl_client_get_connected(claimant_)) return false;
    if (claimant_) g_object_unref(claimant_);
    claimant_ = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    return true;
}

void UsbfsNode::release(Urb& u) {
    if (u.buffer) g_object_unref(u.buffer);
    if (u.urb) g_object_unref(u.urb);
    u.buffer = nullptr;
    u.urb = nullptr;
}

// POLLOUT on the client's descriptor is what makes libusb reap: the FIFO is
// emptied while a completed URB waits, or a waiting one can be completed by
// its owner's next reap (see fill_waiting_locked), and filled otherwise.
void UsbfsNode::update_ready_locked() {
    const bool fillable = !waiting_in_.empty() && (halted_ || !in_data_.empty() || zlp_owed_);
    const bool want = !done_.empty() || gone_ || fillable;
    if (fifo_ < 0 || want == ready_) return;
    char buf[4096];
    if (want) {
        while (::read(fifo_, buf, sizeof buf) > 0) {
        }
    } else {
        std::memset(buf, 0, sizeof buf);
        while (::write(fifo_, buf, sizeof buf) > 0) {
        }
    }
    ready_ = want;
}

// What the host controller does with the device's bulk IN data: the device
// sends packets of max_packet bytes while it has bytes queued and ends its
// transfer with a short packet, or with a zero-length one when it ran dry on
// a packet boundary. A URB completes when a packet ends the device's transfer
// or when its buffer is full; a packet larger than the space left in the
// buffer is an overflow (the bytes that fit arrive, the rest are lost), which
// can only happen to a buffer that is not a whole number of packets.
//
// Only the URBs of `client`, whose ioctl is being answered: writing into a
// URB's buffer is an exchange with the process on that client's connection,
// which takes part only while it waits for its own ioctl. Another open file
// of the same device (the library's second handle, which makes control
// requests) reaping meanwhile would otherwise write into the streaming
// handle's memory over a connection that handle is not reading, or is using
// for an ioctl of its own; umockdev's worker then read the next request out
// of step and aborted the program (an assertion in its ioctl client).
void UsbfsNode::fill_waiting_locked(UMockdevIoctlClient* client) {
    // URBs of a file closed without discarding them end with it.
    while (!waiting_in_.empty() && !umockdev_ioctl_client_get_connected(waiting_in_.front().client)) {
        release(waiting_in_.front());
        waiting_in_.pop_front();
    }
    while (!waiting_in_.empty() && waiting_in_.front().client == client &&
           (halted_ || !in_data_.empty() || zlp_owed_)) {
        Urb u = waiting_in_.front();
        waiting_in_.pop_front();
        if (halted_) {
            u.status = -EPIPE;
            done_.push_back(u);
            continue;
        }
        std::vector<unsigned char> bytes;
        int space = u.length;
        if (in_data_.empty()) zlp_owed_ = false;  // the ZLP alone
        while (!in_data_.empty()) {
            if (packets_before_halt_ == 0) {
                // The STALL handshake in place of the next packet ends the
                // URB; the packets before it are in its buffer.
                packets_before_halt_ = -1;
                halted_ = true;
                u.status = -EPIPE;
                break;
            }
            if (packets_before_halt_ > 0) --packets_before_halt_;
            const int packet = static_cast<int>(std::min<std::size_t>(max_packet_, in_data_.size()));
            const int taken = std::min(packet, space);
            bytes.insert(bytes.end(), in_data_.begin(), in_data_.begin() + taken);
            in_data_.erase(in_data_.begin(), in_data_.begin() + packet);
            space -= taken;
            if (taken < packet) {
                u.status = -EOVERFLOW;
                break;
            }
            if (packet < max_packet_) break;
            if (in_data_.empty()) {
                zlp_owed_ = space == 0;  // else the ZLP ends this URB
                break;
            }
            if (space == 0) break;
        }
        const int n = static_cast<int>(bytes.size());
        if (n > 0) {
            GError* error = nullptr;
            UMockdevIoctlData* buffer =
                umockdev_ioctl_data_resolve(u.urb, offsetof(struct usbdevfs_urb, buffer), n, &error);
            g_clear_error(&error);
            if (buffer) {
                umockdev_ioctl_data_update(buffer, 0, bytes.data(), n);
                g_object_unref(buffer);
            }
        }
        u.actual = n;
        done_.push_back(u);
    }
}

void UsbfsNode::send_in(const unsigned char* data, std::size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (gone_) return;
    in_data_.insert(in_data_.end(), data, data + len);
    // The URB data objects belong to the worker thread; only wake libusb here
    // (a reap attempt matches bytes to URBs there).
    if (!waiting_in_.empty() && fifo_ >= 0 && ready_ == false) {
        char buf[4096];
        while (::read(fifo_, buf, sizeof buf) > 0) {
        }
        ready_ = true;
    }
}

// A halted endpoint fails the URB under way and every later one, as the
// kernel reports a STALL handshake, until the host clears the halt.
void UsbfsNode::stall_in(bool for_good, int after_packets) {
    std::lock_guard<std::mutex> lock(mutex_);
    halted_for_good_ = for_good;
    if (after_packets > 0) {
        packets_before_halt_ = after_packets;  // see fill_waiting_locked
        return;
    }
    halted_ = true;
    if (!waiting_in_.empty() && fifo_ >= 0 && !ready_) {
        char buf[4096];
        while (::read(fifo_, buf, sizeof buf) > 0) {
        }
        ready_ = true;  // the worker fails the URBs when libusb reaps
    }
}

void UsbfsNode::hold_out(bool held) {
    std::lock_guard<std::mutex> lock(mutex_);
    out_held_ = held;
}

void UsbfsNode::unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone_ = true;
        update_ready_locked();
    }
    if (gadget_) gadget_->unplugged();
}

gboolean UsbfsNode::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<UsbfsNode*>(self)->handle(client) ? TRUE : FALSE;
}

bool UsbfsNode::handle(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_ && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return true;
        }
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            GError* error = nullptr;
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), &error);
            if (caps == nullptr) {
                g_clear_error(&error);
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return true;
            }
            // One URB per transfer, whatever its size.
            guint32 value =
                USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
            umockdev_ioctl_data_update(caps, 0, reinterpret_cast<guint8*>(&value), sizeof value);
            g_object_unref(caps);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_CLAIMINTERFACE: {
            std::lock_guard<std::mutex> lock(mutex_);
            if (claim_locked(client))
                umockdev_ioctl_client_complete(client, 0, 0);
            else
                umockdev_ioctl_client_complete(client, -1, EBUSY);
            return true;
        }
        case USBDEVFS_RELEASEINTERFACE: {
            std::lock_guard<std::mutex> lock(mutex_);
            if (claimant_ == client) {
                g_object_unref(claimant_);
                claimant_ = nullptr;
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_CLEAR_HALT: {
            // Only bulk IN is ever halted here, so the endpoint is not read.
            std::lock_guard<std::mutex> lock(mutex_);
            halted_ = halted_for_good_;
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_RESETEP:
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        case USBDEVFS_SUBMITURB:
            submit(client, arg);
            return true;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client, arg);
            return true;
        case USBDEVFS_DISCARDURB:
            discard(client, arg);
            return true;
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return true;
    }
}

void UsbfsNode::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    GError* error = nullptr;
    UMockdevIoctlData* urb_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), &error);
    if (urb_data == nullptr) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    struct usbdevfs_urb urb;
    std::memcpy(&urb, urb_data->data, sizeof urb);
    UMockdevIoctlData* buffer = nullptr;
    // A bulk IN buffer is only written, and only as far as data arrives:
    // resolving it here would copy all of it from the client for nothing
    // (see fill_waiting_locked).
    const bool bulk_in = urb.type == USBDEVFS_URB_TYPE_BULK && (urb.endpoint & 0x80) != 0;
    if (urb.buffer_length > 0 && !bulk_in) {
        buffer = umockdev_ioctl_data_resolve(urb_data, offsetof(struct usbdevfs_urb, buffer),
                                             urb.buffer_length, &error);
        g_clear_error(&error);
    }
    Urb u{client, urb_data, buffer, urb.buffer_length};
    if (urb.type == USBDEVFS_URB_TYPE_BULK) {
        // The kernel claims the interface for a transfer on one of its
        // endpoints, and refuses it while another open file holds it.
        std::lock_guard<std::mutex> lock(mutex_);
        if (!claim_locked(client)) {
            release(u);
            umockdev_ioctl_client_complete(client, -1, EBUSY);
            return;
        }
    }
    const unsigned char* bytes = buffer ? buffer->data : nullptr;

    if (urb.type == USBDEVFS_URB_TYPE_CONTROL && urb.buffer_length >= 8 && bytes) {
        ControlSetup setup{bytes[0], bytes[1], static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8),
                           static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8),
                           static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8)};
        const bool in = (setup.request_type & 0x80) != 0;
        std::vector<unsigned char> data;
        if (!in) data.assign(bytes + 8, bytes + urb.buffer_length);
        if (gadget_ && gadget_->control(setup, data)) {
            if (in) {
                const int n = static_cast<int>(
                    std::min<std::size_t>(data.size(), std::min<int>(setup.length, urb.buffer_length - 8)));
                if (n > 0) umockdev_ioctl_data_update(buffer, 8, data.data(), n);
                u.actual = 8 + n;  // the kernel counts the setup packet too
            } else {
                u.actual = urb.buffer_length;
            }
        } else {
            u.status = -EPIPE;
        }
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && (urb.endpoint & 0x80) == 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (out_held_) {
                waiting_out_.push_back(u);
                umockdev_ioctl_client_complete(client, 0, 0);
                return;
            }
        }
        if (gadget_ && bytes) gadget_->bulk_out(bytes, urb.buffer_length);
        // A transfer of whole packets reaches the device's side as ended
        // only when the host adds the zero-length packet.
        if (gadget_ && (urb.flags & USBDEVFS_URB_ZERO_PACKET) != 0 && urb.buffer_length % max_packet_ == 0)
            gadget_->zero_length_packet();
        u.actual = urb.buffer_length;
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK) {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_in_.push_back(u);
        fill_waiting_locked(client);
        update_ready_locked();
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    } else {
        release(u);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_.push_back(u);
    update_ready_locked();
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbfsNode::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (gone_) {
        // Everything still pending ends as on an unplugged device.
        for (std::deque<Urb>* waiting : {&waiting_in_, &waiting_out_}) {
            for (Urb& u : *waiting) {
                u.status = -ESHUTDOWN;
                u.actual = 0;
                done_.push_back(u);
            }
            waiting->clear();
        }
    }
    fill_waiting_locked(client);
    auto it = done_.begin();
    while (it != done_.end() && it->client != client) ++it;
    if (it == done_.end()) {
        update_ready_locked();
        umockdev_ioctl_client_complete(client, -1, gone_ ? ENODEV : EAGAIN);
        return;
    }
    Urb u = *it;
    done_.erase(it);
    update_ready_locked();
    lock.unlock();

    GError* error = nullptr;
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
    g_clear_error(&error);
    if (slot == nullptr) {
        release(u);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    struct usbdevfs_urb urb;
    std::memcpy(&urb, u.urb->data, sizeof urb);
    urb.status = u.status;
    urb.actual_length = u.actual;
    umockdev_ioctl_data_update(u.urb, offsetof(struct usbdevfs_urb, status),
                               reinterpret_cast<guint8*>(&urb.status), sizeof urb.status);
    umockdev_ioctl_data_update(u.urb, offsetof(struct usbdevfs_urb, actual_length),
                               reinterpret_cast<guint8*>(&urb.actual_length), sizeof urb.actual_length);
    umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(slot);
    release(u);
}

void UsbfsNode::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    // The argument is the URB's address in the client.
    gulong address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::deque<Urb>* waiting : {&waiting_in_, &waiting_out_}) {
        for (auto it = waiting->begin(); it != waiting->end(); ++it) {
            if (it->client == client && it->urb->client_addr == address) {
                Urb u = *it;
                waiting->erase(it);
                u.status = -ENOENT;
                u.actual = 0;
                done_.push_back(u);
                update_ready_locked();
                umockdev_ioctl_client_complete(client, 0, 0);
                return;
            }
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

// --- the bus ---------------------------------------------------------------------

struct UmockdevBus::Testbed {
    UMockdevTestbed* bed = umockdev_testbed_new();
    std::string root;
    std::mutex mutex;  // guards the bus's maps against re-enumeration threads
    Testbed() {
        gchar* dir = umockdev_testbed_get_root_dir(bed);
        root = dir;
        g_free(dir);
    }
    ~Testbed() { g_object_unref(bed); }
};

bool UmockdevBus::preload_active() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

UmockdevBus::UmockdevBus(int packet) : max_packet_(packet), testbed_(new Testbed) {}

UmockdevBus::~UmockdevBus() {
    settle();
    // The testbed first: releasing it stops umockdev's worker thread, so no
    // handler can still be running on a node when the nodes go.
    testbed_.reset();
    entries_.clear();
    unplugged_.clear();
}

void UmockdevBus::settle() {
    for (;;) {
        std::vector<std::thread> joining;
        {
            std::lock_guard<std::mutex> lock(testbed_->mutex);
            joining.swap(workers_);
        }
        if (joining.empty()) return;
        for (std::thread& t : joining) t.join();
    }
}

namespace {

std::string hex(const std::vector<unsigned char>& bytes) {
    std::string out;
    char b[3];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02X", c);
        out += b;
    }
    return out;
}

void put16(std::vector<unsigned char>& v, unsigned value) {
    v.push_back(value & 0xFF);
    v.push_back((value >> 8) & 0xFF);
}

// Device, configuration, interface and endpoint descriptors as the kernel
// keeps them in sysfs ("descriptors"), which is where libusb reads them.
std::vector<unsigned char> descriptors(std::uint16_t vendor, std::uint16_t product, bool hub,
                                       int max_packet) {
    std::vector<unsigned char> d{18,
                                 1,
                                 0x00,
                                 0x02,
                                 static_cast<unsigned char>(hub ? 9 : 0),
                                 0,
                                 static_cast<unsigned char>(hub ? 1 : 0),
                                 64};
    put16(d, vendor);
    put16(d, product);
    put16(d, 0x0100);
    d.insert(d.end(), {0, 0, 0, 1});
    const int endpoints = hub ? 1 : 2;
    d.insert(d.end(), {9, 2});
    put16(d, 9 + 9 + 7 * endpoints);
    d.insert(d.end(), {1, 1, 0, 0x80, 50});
    d.insert(d.end(), {9, 4, 0, 0, static_cast<unsigned char>(endpoints),
                       static_cast<unsigned char>(hub ? 9 : 0xFF), 0, 0, 0});
    if (hub) {
        d.insert(d.end(), {7, 5, 0x81, 3, 2, 0, 12});
    } else {
        const auto lo = static_cast<unsigned char>(max_packet & 0xFF);
        const auto hi = static_cast<unsigned char>(max_packet >> 8);
        d.insert(d.end(), {7, 5, 0x01, 2, lo, hi, 0});
        d.insert(d.end(), {7, 5, 0x81, 2, lo, hi, 0});
    }
    return d;
}

}  // namespace

std::string UmockdevBus::add_root_hub(int bus, int ports) {
    return add("", bus, 0x1D6B, 0x0002, ports, nullptr);
}

std::string UmockdevBus::add_hub(const std::string& parent, int port, int ports) {
    return add(parent, port, 0x05E3, 0x0608, ports, nullptr);
}

std::string UmockdevBus::add_device(const std::string& parent, int port, std::uint16_t vendor,
                                    std::uint16_t product, std::shared_ptr<Gadget> gadget) {
    return add(parent, port, vendor, product, 0, std::move(gadget));
}

std::string UmockdevBus::add(const std::string& parent, int port, std::uint16_t vendor, std::uint16_t product,
                             int ports, std::shared_ptr<Gadget> gadget) {
    std::unique_lock<std::mutex> lock(testbed_->mutex);
    Entry entry;
    std::string name;
    if (parent.empty()) {
        entry.bus = port;
        name = "usb" + std::to_string(port);
        entry.syspath = "/sys/devices/pci0000:00/0000:00:1" + std::to_string(port) + ".0/" + name;
    } else {
        const Entry& up = entries_.at(parent);
        entry.bus = up.bus;
        name = parent.compare(0, 3, "usb") == 0 ? std::to_string(up.bus) + "-" + std::to_string(port)
                                                : parent + "." + std::to_string(port);
        entry.syspath = up.syspath + "/" + name;
    }
    entry.ports = ports;
    entry.devnum = ++next_devnum_[entry.bus];
    lock.unlock();
    wire(name, entry, vendor, product, std::move(gadget));
    return name;
}

void UmockdevBus::wire(const std::string& name, Entry& entry, std::uint16_t vendor, std::uint16_t product,
                       std::shared_ptr<Gadget> gadget) {
    const bool hub = entry.ports > 0;
    char node[32];
    std::snprintf(node, sizeof node, "bus/usb/%03d/%03d", entry.bus, entry.devnum);
    char ids[64];
    std::snprintf(ids, sizeof ids, "A: idVendor=%04x\nA: idProduct=%04x\n", vendor, product);
    // A device with a gadget gets its node (a FIFO, see UsbfsNode) and its
    // ioctl handler before it becomes visible: libusb may open it as soon as
    // the sysfs entry exists, and umockdev's preload ends the process when a
    // node's ioctl socket exists but is not yet listening.
    std::string record =
        "P: " + entry.syspath.substr(4) + "\n" + (gadget ? "" : "N: " + std::string(node) + "\n") +
        "E: DEVNAME=/dev/" + node + "\nE: DEVTYPE=usb_device\n" + "E: SUBSYSTEM=usb\nE: DRIVER=usb\n" +
        "E: BUSNUM=" + std::string(node + 8, 3) + "\nE: DEVNUM=" + std::string(node + 12, 3) + "\n" + ids +
        "A: busnum=" + std::to_string(entry.bus) + "\nA: devnum=" + std::to_string(entry.devnum) +
        "\nA: maxchild=" + std::to_string(entry.ports) + "\nA: bDeviceClass=" + (hub ? "09" : "00") +
        "\nA: bConfigurationValue=1\nA: bNumConfigurations=1\nA: speed=" +
        (max_packet_ == 64 ? "12" : "480") +
        "\nH: descriptors=" + hex(descriptors(vendor, product, hub, max_packet_)) + "\n";
    if (gadget) {
        const std::string path = testbed_->root + "/dev/" + node;
        g_mkdir_with_parents(path.substr(0, path.rfind('/')).c_str(), 0755);
        ::mkfifo(path.c_str(), 0666);
        auto usbfs = std::make_shared<UsbfsNode>(path, gadget, max_packet_);
        gadget->reenumerate = [this, name](std::shared_ptr<Gadget> next, std::uint16_t next_product,
                                           unsigned delay_ms) {
            std::lock_guard<std::mutex> lock(testbed_->mutex);
            workers_.emplace_back([this, name, next, next_product, delay_ms] {
                usleep(delay_ms * 1000);
                std::string parent;
                int port = 0;
                const auto dot = name.find_last_of(".-");
                parent = name.substr(0, dot);
                port = std::atoi(name.c_str() + dot + 1);
                if (name[dot] == '-') parent = "usb" + parent;
                unplug(name);
                add(parent, port, ZORBEL_USB_VENDOR_ID, next_product, 0, next);
            });
        };
        entry.node = usbfs;
        GError* err = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed_->bed, ("/dev/" + std::string(node)).c_str(),
                                           usbfs->handler, &err)) {
            std::fprintf(stderr, "umockdev: %s\n", err ? err->message : "cannot attach");
            g_clear_error(&err);
        }
    }
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_->bed, record.c_str(), &error)) {
        std::fprintf(stderr, "umockdev: %s\n", error ? error->message : "cannot add device");
        g_clear_error(&error);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(testbed_->mutex);
        entries_[name] = entry;
    }
    umockdev_testbed_uevent(testbed_->bed, entry.syspath.c_str(), "add");
}

std::shared_ptr<UsbfsNode> UmockdevBus::node_of(const std::string& name) {
    std::lock_guard<std::mutex> lock(testbed_->mutex);
    auto it = entries_.find(name);
    return it != entries_.end() ? it->second.node : nullptr;
}

void UmockdevBus::stall_in(const std::string& name, bool for_good, int after_packets) {
    if (std::shared_ptr<UsbfsNode> node = node_of(name)) node->stall_in(for_good, after_packets);
}

void UmockdevBus::hold_out(const std::string& name, bool held) {
    if (std::shared_ptr<UsbfsNode> node = node_of(name)) node->hold_out(held);
}

void UmockdevBus::unplug(const std::string& name) {
    Entry entry;
    {
        std::lock_guard<std::mutex> lock(testbed_->mutex);
        auto it = entries_.find(name);
        if (it == entries_.end()) return;
        entry = it->second;
        entries_.erase(it);
    }
    if (entry.node) entry.node->unplug();
    umockdev_testbed_uevent(testbed_->bed, entry.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_->bed, entry.syspath.c_str());
    // The node object stays alive while libusb may still reap from it; the
    // handler is detached when the bus goes.
    std::lock_guard<std::mutex> lock(testbed_->mutex);
    unplugged_.push_back(entry.node);
}

}  // namespace testing
}  // namespace zorbel
