#include <cstring>
#include <new>

#include "control/device_claim.h"
#include "support/last_error.h"
#include "support/platform_process.h"
#include "support/log.h"
#include "zorbel/control.h"
#include "zorbel/usb.h"

namespace {
// Port names are handed over as char* (the transport interface predates
// const), so they live in writable arrays that nobody writes.
char usb_port_name[] = "USB";
char no_port_name[] = "";

// The reader reads at most this much per request; a USB read returns what has
// arrived, so a bigger buffer would only add latency to the first bytes.
constexpr unsigned int kReceiveBufferSize = 1000;

// What stop() lowers the transport's time-outs to: a byte wait under way
// gives up at once instead of holding the shut-down for 10 s.
constexpr unsigned long kStopTimeoutMs = 10;
}  // namespace

// A connection asks for a 1 ms timer resolution for its whole life: its
// time-outs and polls are counted in milliseconds, and on Windows a timed wait
// otherwise ends only on the system's 15.6 ms tick (on Linux timed waits are
// precise already, and the request does nothing).
ChanIOControl::ChanIOControl()
    : is_stopped(true), driver(nullptr), pipe_factory(nullptr), block_driver(nullptr) {
    zorbel::detail::begin_fine_timer_resolution();
    start_flag.clear();
    stop_flag.set(true);
    driver = new (std::nothrow) USBSeqDriver;
    if (!driver) return;  // start() will refuse; nothing else to build on
    block_driver = new (std::nothrow) BlockDriver("", driver);
    if (block_driver) {
        // Device connections carry no keep-alive traffic: the peer is known to
        // be there while the USB device is open, and a lost device shows up
        // as a failed read.
        block_driver->link_check.store(false);
        block_driver->connected.store(true);
    }
    init_mcp_pipe_factory();
}

// Pipes still alive belong to whoever holds them, not to the factory, so
// every pipe must have been released before the connection goes.
ChanIOControl::~ChanIOControl() {
    zorbel::detail::end_fine_timer_resolution();
    fini_mcp_pipe_factory();
    stop();
    delete block_driver;
    block_driver = nullptr;
    delete driver;
    driver = nullptr;
}

bool ChanIOControl::start(int index) {
    // One connection drives one device; a running connection keeps its device
    // and its claim whatever index it is asked for.
    if (started()) {
        zorbel::detail::set_last_error(zorbel::errc::invalid_argument, "the connection is running already");
        return false;
    }

    char id[8] = {};
    if (!Get_Zorbel_ID(index, id)) return false;  // the device functions said why

    zorbel::DeviceClaim::Outcome outcome;
    std::unique_ptr<zorbel::DeviceClaim> claim =
        zorbel::DeviceClaim::create(zorbel::DeviceClaim::name_for_id(id), outcome);
    if (!claim) {
        if (outcome == zorbel::DeviceClaim::Outcome::held_elsewhere) {
            zorbel::detail::set_last_error(
                zorbel::errc::busy, std::string("device with ID ") + id + " is in use by another connection");
            ZORBEL_LOG(zorbel::LogLevel::info, "device " << id << " is claimed by another connection");
        } else {
            zorbel::detail::set_last_error(zorbel::errc::io_error,
                                           std::string("the claim on device with ID ") + id);
        }
        return false;
    }

    start_flag.clear();
    if (!driver || !block_driver) {  // the claim goes with `claim`
        zorbel::detail::set_last_error(zorbel::errc::io_error, "out of memory");
        return false;
    }
    is_stopped.store(false);
    // The device is opened by number a second time; a device that arrived or
    // left in between can have moved another one under that number, and the
    // claim covers the device whose ID was read, not whatever is there now.
    if (!driver->open_port(usb_port_name, index, 0) ||
        std::strncmp(static_cast<USBSeqDriver*>(driver)->get_device_id(), id, sizeof id) != 0) {
        driver->close_port(no_port_name);
        is_stopped.store(true);
        zorbel::detail::set_last_error(zorbel::errc::device_gone,
                                       std::string("device ") + id + " left before it could be opened");
        return false;  // the claim is given back once the device is closed
    }
    owner_mutex = std::move(claim);
    ZORBEL_LOG(zorbel::LogLevel::info, "claimed device " << id);

    // Buffer and engine are handed over before init(): the reader takes the
    // buffer once, when it starts.
    unsigned char* buffer = new (std::nothrow) unsigned char[kReceiveBufferSize];
    driver->set_input_block_driver(block_driver);
    if (buffer) driver->set_input_callback_buff(buffer, kReceiveBufferSize);
    driver->init();

    stop_flag.clear();
    start_flag.set(true);
    return true;
}

bool ChanIOControl::stop() {
    if (is_stopped.load()) {
        // Given back also on a stopped connection, so stop() always frees
        // the device.
        if (owner_mutex) {
            owner_mutex.reset();
            ZORBEL_LOG(zorbel::LogLevel::info,
                       "released device " << static_cast<USBSeqDriver*>(driver)->get_device_id());
        }
        return true;
    }

    driver->set_i_timeout(kStopTimeoutMs);
    driver->set_o_timeout(kStopTimeoutMs);
    is_stopped.store(true);
    driver->set_input_block_driver(nullptr);
    start_flag.clear();
    stop_flag.set(true);
    // done() joins the reader, so once it returns no read into the buffer is
    // under way and the buffer can go.
    driver->done();
    // The engine was detached first, so done() could not wake the streams
    // still waiting on their channels; they learn here that the link ended.
    block_driver->wake_channels();
    bool closed = driver->close_port(no_port_name);
    // Only now: another connection that takes the claim must find the device
    // closed, with nothing of ours still holding its interface.
    owner_mutex.reset();
    ZORBEL_LOG(zorbel::LogLevel::info,
               "released device " << static_cast<USBSeqDriver*>(driver)->get_device_id());
    unsigned char* buffer = driver->get_input_callback_buff();
    driver->set_input_callback_buff(nullptr, 0);
    delete[] buffer;
    return closed;
}

bool ChanIOControl::started() { return !is_stopped.load(); }
bool ChanIOControl::stopped() { return is_stopped.load(); }
bool ChanIOControl::was_started(unsigned long ms) { return start_flag.wait_set(ms); }
bool ChanIOControl::was_stopped(unsigned long ms) { return stop_flag.wait_set(ms); }
BlockDriver* ChanIOControl::get_block_driver() { return block_driver; }
XPipeFactory* ChanIOControl::get_pipe_factory() { return pipe_factory; }

void ChanIOControl::init_mcp_pipe_factory() {
    if (pipe_factory) return;
    XMCPPipeFactory* factory = new (std::nothrow) XMCPPipeFactory;
    if (!factory) return;
    factory->control = this;
    pipe_factory = factory;
}

void ChanIOControl::fini_mcp_pipe_factory() {
    delete pipe_factory;
    pipe_factory = nullptr;
}
