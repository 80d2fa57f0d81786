// The USB byte transport against a scripted device host: output queueing and
// flushing, the polled input stub, opening with retries, and the reader
// thread's life: cancellation, reconnection by hardware ID, and giving up.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/device_claim.h"
#include "usb/host.h"
#include "zorbel/channel.h"
#include "zorbel/control.h"
#include "zorbel/usb.h"

namespace {

using zorbel::host::Backend;
using zorbel::host::DeviceHandle;
using zorbel::host::PortInfo;

// A normal-mode device as every handle opened on it sees it.
struct FakeDevice {
    explicit FakeDevice(std::string hid, std::string device_id = "FAKE001")
        : hardware_id(std::move(hid)), id(std::move(device_id)) {}

    std::mutex mutex;
    std::condition_variable changed;
    std::string hardware_id;
    std::string id;
    int records_read = 0;  // guarded by mutex
    // Called when a handle on the device is closed, outside its lock.
    std::function<void()> on_close;
    int generation = 0;  // each unplug ends every handle opened before it
    std::deque<std::vector<unsigned char>> incoming;
    std::vector<std::vector<unsigned char>> writes;
    long write_shortfall = 0;  // a write reports this many bytes fewer
    int reads_started = 0;

    void push(std::vector<unsigned char> chunk) {
        std::lock_guard<std::mutex> lock(mutex);
        incoming.push_back(std::move(chunk));
        changed.notify_all();
    }

    // Waits (generously) until every pushed chunk has been read.
    bool wait_drained() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return incoming.empty(); });
    }

    int reads() {
        std::lock_guard<std::mutex> lock(mutex);
        return reads_started;
    }

    // Waits (generously) until `n` reads have been started in all.
    bool wait_reads(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return reads_started >= n; });
    }
};

class FakeHandle : public DeviceHandle {
public:
    explicit FakeHandle(std::shared_ptr<FakeDevice> device) : dev_(std::move(device)) {
        std::lock_guard<std::mutex> lock(dev_->mutex);
        generation_ = dev_->generation;
    }

    long read(unsigned char* buf, unsigned int len) override {
        std::unique_lock<std::mutex> lock(dev_->mutex);
        ++dev_->reads_started;
        dev_->changed.notify_all();
        dev_->changed.wait(lock, [&] { return cancelled_ || dead() || !dev_->incoming.empty(); });
        if (cancelled_ || dead()) {
            cancelled_ = false;
            return -1;
        }
        std::vector<unsigned char> chunk = std::move(dev_->incoming.front());
        dev_->incoming.pop_front();
        dev_->changed.notify_all();
        unsigned int n = chunk.size() < len ? static_cast<unsigned int>(chunk.size()) : len;
        std::memcpy(buf, chunk.data(), n);
        return n;
    }

    void cancel_read() override {
        std::lock_guard<std::mutex> lock(dev_->mutex);
        cancelled_ = true;
        dev_->changed.notify_all();
    }

    long write(const unsigned char* data, unsigned int len) override {
        std::lock_guard<std::mutex> lock(dev_->mutex);
        if (dead()) return -1;
        dev_->writes.emplace_back(data, data + len);
        return static_cast<long>(len) - dev_->write_shortfall;
    }

    bool get_info(unsigned char* record) override {
        std::lock_guard<std::mutex> lock(dev_->mutex);
        if (dead()) return false;
        ++dev_->records_read;
        std::memset(record, 0, zorbel::host::kInfoRecordSize);
        std::string text = "C" + dev_->hardware_id + "xx" + dev_->id;
        for (size_t i = 0; i < text.size() && i < 22; ++i)
            record[2 * i] = static_cast<unsigned char>(text[i]);
        return true;
    }

    int boot(const void*, unsigned int) override { return -1; }

    void close() override {
        {
            std::lock_guard<std::mutex> lock(dev_->mutex);
            closed_ = true;
            dev_->changed.notify_all();
        }
        if (dev_->on_close) dev_->on_close();
    }

private:
    bool dead() const { return closed_ || generation_ != dev_->generation; }

    std::shared_ptr<FakeDevice> dev_;
    int generation_;          // guarded by dev->mutex
    bool cancelled_ = false;  // guarded by dev->mutex
    bool closed_ = false;     // guarded by dev->mutex
};

// A bus with normal-mode devices only and no hubs.
class FakeBackend : public Backend {
public:
    std::shared_ptr<DeviceHandle> open(int kind, int index, zorbel::host::OpenFailure& failure) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++opens_;
        if (kind == DEVICE_KIND_NORMAL && before_normal_open) before_normal_open(devices_);
        failure = zorbel::host::OpenFailure::no_device;
        if (kind != DEVICE_KIND_NORMAL || index < 0 || index >= static_cast<int>(devices_.size()))
            return nullptr;
        failure = zorbel::host::OpenFailure::none;
        return std::make_shared<FakeHandle>(devices_[index]);
    }
    std::string location(int, int) override { return std::string(); }
    bool root_hub_name(int, std::string&) override { return false; }
    bool hub_port_count(const std::string&, int&) override { return false; }
    bool port_info(const std::string&, int, PortInfo&) override { return false; }
    bool port_hub_name(const std::string&, int, std::string&) override { return false; }

    // Runs under the backend's lock before each normal-mode open, with the
    // device list; it may reorder the list as a hot-plug between two opens
    // would.
    std::function<void(std::vector<std::shared_ptr<FakeDevice>>&)> before_normal_open;

    std::shared_ptr<FakeDevice> plug(const std::string& hid, const std::string& id = "FAKE001") {
        auto device = std::make_shared<FakeDevice>(hid, id);
        plug(device);
        return device;
    }
    void plug(const std::shared_ptr<FakeDevice>& device) {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.push_back(device);
    }
    void unplug(const std::shared_ptr<FakeDevice>& device) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = devices_.begin(); it != devices_.end(); ++it)
                if (*it == device) {
                    devices_.erase(it);
                    break;
                }
        }
        std::lock_guard<std::mutex> lock(device->mutex);
        ++device->generation;
        device->changed.notify_all();
    }
    int open_count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return opens_;
    }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<FakeDevice>> devices_;
    int opens_ = 0;
};

char port_name[] = "USB";

// A data block as the device frames it.
std::vector<unsigned char> data_block(unsigned char channel, unsigned char number,
                                      const std::vector<unsigned char>& payload) {
    std::vector<unsigned char> b = {0x4D,
                                    0x4D,
                                    BlockProtocol::blk_data,
                                    channel,
                                    number,
                                    static_cast<unsigned char>(payload.size() >> 8),
                                    static_cast<unsigned char>(payload.size() & 0xFF)};
    b.insert(b.end(), payload.begin(), payload.end());
    CRC32 crc;
    crc.update(b.data(), b.size());
    std::uint32_t v = static_cast<std::uint32_t>(crc.get());
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<unsigned char>(v >> shift));
    return b;
}

class UsbSeqDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        USBSeqDriver::open_retries.store(10);
        USBSeqDriver::open_retry_pause.store(1);
        zorbel::host::push_backend(backend_);
    }
    void TearDown() override {
        zorbel::host::remove_backend(backend_.get());
        USBSeqDriver::open_retries.store(10);
        USBSeqDriver::open_retry_pause.store(100);
    }

    // Opens device 0 and starts the reader over `buf`.
    void run(USBSeqDriver& driver, unsigned char* buf, unsigned int len) {
        ASSERT_TRUE(driver.open_port(port_name, 0, 0));
        driver.set_input_callback_buff(buf, len);
        ASSERT_TRUE(driver.init());
    }

    std::shared_ptr<FakeBackend> backend_ = std::make_shared<FakeBackend>();
};

TEST_F(UsbSeqDriverTest, OutputLeavesAsOneWritePerFlushOrWhenTheQueueFills) {
    auto device = backend_->plug("HW0000000001");
    USBSeqDriver driver;
    ASSERT_TRUE(driver.open_port(port_name, 0, 0));

    EXPECT_TRUE(driver.flush());  // nothing queued: no request at all
    for (unsigned int i = 0; i < USBSeqDriver::out_buf_size - 1; ++i)
        ASSERT_TRUE(driver.hput_byte(static_cast<int>(i)));
    EXPECT_TRUE(device->writes.empty());
    EXPECT_TRUE(driver.hput_byte(0x1FF));  // the 4096th byte sends all of them
    ASSERT_EQ(device->writes.size(), 1u);
    EXPECT_EQ(device->writes[0].size(), USBSeqDriver::out_buf_size);
    EXPECT_EQ(device->writes[0][1], 1);
    EXPECT_EQ(device->writes[0].back(), 0xFF);  // low 8 bits only

    driver.hput_byte(0x42);  // starts an empty queue
    EXPECT_TRUE(driver.flush());
    ASSERT_EQ(device->writes.size(), 2u);
    EXPECT_EQ(device->writes[1], std::vector<unsigned char>{0x42});
    driver.close_port(nullptr);
}

TEST_F(UsbSeqDriverTest, BulkPutQueuesAsBytewisePutDoes) {
    auto device = backend_->plug("HW0000000001");
    USBSeqDriver driver;
    ASSERT_TRUE(driver.open_port(port_name, 0, 0));
    std::vector<unsigned char> data(2 * USBSeqDriver::out_buf_size + 100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + (i >> 12));
    // A few bytes first, so that the big piece fills the queue twice.
    ASSERT_TRUE(driver.hput_bytes(data.data(), 10));
    ASSERT_TRUE(driver.hput_bytes(data.data() + 10, static_cast<unsigned>(data.size() - 10)));
    ASSERT_EQ(device->writes.size(), 2u);  // each full queue left at once
    EXPECT_TRUE(driver.flush());
    ASSERT_EQ(device->writes.size(), 3u);
    EXPECT_EQ(device->writes[0].size(), USBSeqDriver::out_buf_size);
    EXPECT_EQ(device->writes[1].size(), USBSeqDriver::out_buf_size);
    std::vector<unsigned char> sent;
    for (const auto& w : device->writes) sent.insert(sent.end(), w.begin(), w.end());
    EXPECT_EQ(sent, data);
    driver.close_port(nullptr);
}

TEST_F(UsbSeqDriverTest, ShortOrFailedWriteFailsAndDropsTheBytes) {
    auto device = backend_->plug("HW0000000001");
    USBSeqDriver driver;
    ASSERT_TRUE(driver.open_port(port_name, 0, 0));
    device->write_shortfall = 1;
    driver.hput_byte(1);
    driver.hput_byte(2);
    EXPECT_FALSE(driver.flush());
    EXPECT_TRUE(driver.flush());  // dropped, not queued for a retry
    EXPECT_EQ(device->writes.size(), 1u);

    device->write_shortfall = 0;
    driver.close_port(nullptr);
    driver.hput_byte(3);
    EXPECT_FALSE(driver.flush());  // no device open
    EXPECT_TRUE(driver.flush());
}

TEST_F(UsbSeqDriverTest, OpenWithoutDeviceFailsAfterTheConfiguredAttempts) {
    USBSeqDriver driver;
    USBSeqDriver::open_retries.store(4);
    EXPECT_FALSE(driver.open_port(port_name, 0, 0));
    EXPECT_EQ(backend_->open_count(), 4);
    EXPECT_FALSE(driver.open_port(port_name, -1, 0));
    EXPECT_TRUE(driver.close_port(nullptr));  // also with nothing open
}

TEST_F(UsbSeqDriverTest, PolledInputNeverYieldsAByteAndEndsWithTheDriver) {
    USBSeqDriver driver;
    EXPECT_EQ(driver.get_i_timeout(0), 10000u);
    EXPECT_EQ(driver.get_o_timeout(123), 10000u);
    driver.set_i_timeout(20);
    EXPECT_EQ(driver.hget_byte(), -1);  // after the time-out

    // A reader blocked on its time-out is released by done().
    driver.set_i_timeout(60000);
    int got = 0;
    std::thread waiter([&] { got = driver.hget_byte(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    driver.done();
    waiter.join();
    EXPECT_EQ(got, -1);
    EXPECT_TRUE(driver.is_finished());
    EXPECT_EQ(driver.hget_byte(), -1);  // at once once finished
}

TEST_F(UsbSeqDriverTest, DoneEndsAWaitingReaderWithoutReconnecting) {
    auto device = backend_->plug("HW0000000001");
    unsigned char buf[1000];
    USBSeqDriver driver;
    run(driver, buf, sizeof buf);
    ASSERT_TRUE(device->wait_reads(1));
    int opens = backend_->open_count();
    USBSeqDriver::open_retries.store(7);
    EXPECT_TRUE(driver.done());
    EXPECT_TRUE(driver.is_finished());
    EXPECT_EQ(backend_->open_count(), opens);
    EXPECT_EQ(USBSeqDriver::open_retries.load(), 7);
    driver.close_port(nullptr);
}

TEST_F(UsbSeqDriverTest, ReadsGoOnWithoutAnEngineAndAfterAReconnection) {
    auto device = backend_->plug("HW0000000001");
    unsigned char buf[1000];
    USBSeqDriver driver;
    run(driver, buf, sizeof buf);
    // With no engine set, completed reads are dropped and the next one issued.
    device->push({1, 2, 3});
    ASSERT_TRUE(device->wait_reads(2));

    // Gone and back under the same hardware ID: reopened, and reading goes on.
    int opens = backend_->open_count();
    backend_->unplug(device);
    backend_->plug(device);
    ASSERT_TRUE(device->wait_reads(3));
    EXPECT_GT(backend_->open_count(), opens);
    EXPECT_FALSE(driver.is_finished());
    EXPECT_EQ(USBSeqDriver::open_retries.load(), 100);
    driver.done();
    driver.close_port(nullptr);
}

TEST_F(UsbSeqDriverTest, ChunkRefusedWhileTheChannelTableChangesIsOfferedAgain) {
    auto device = backend_->plug("HW0000000001");
    unsigned char buf[1000];
    USBSeqDriver driver;
    BlockDriver engine("", &driver);
    engine.link_check.store(false);
    ChannelInput input(&engine, 2);
    input.set_timeout(2000);
    driver.set_input_block_driver(&engine);
    run(driver, buf, sizeof buf);

    engine.lock_channels();  // as a channel being attached elsewhere does
    device->push(data_block(2, 0, {'h', 'e', 'l', 'l', 'o'}));
    ASSERT_TRUE(device->wait_drained());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(device->reads(), 1);  // still holding the chunk, not reading on
    engine.unlock_channels();

    unsigned char got[5] = {};
    EXPECT_EQ(input.read(got, sizeof got), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 5), "hello");
    driver.set_input_block_driver(nullptr);
    driver.done();
    driver.close_port(nullptr);
}

TEST_F(UsbSeqDriverTest, DeviceThatDoesNotComeBackFinishesTheDriver) {
    auto device = backend_->plug("HW0000000001");
    backend_->plug("HW0000000002");  // another device is no substitute
    unsigned char buf[1000];
    USBSeqDriver driver;
    run(driver, buf, sizeof buf);
    ASSERT_TRUE(device->wait_reads(1));
    USBSeqDriver::open_retries.store(3);
    backend_->unplug(device);
    for (int i = 0; i < 10000 && !driver.is_finished(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(driver.is_finished());
    EXPECT_EQ(driver.hget_byte(), -1);
    driver.hput_byte(1);
    EXPECT_FALSE(driver.flush());  // the port was closed
    EXPECT_TRUE(driver.done());    // joins the reader that ended itself
}

TEST_F(UsbSeqDriverTest, DoneCutsAReconnectionShort) {
    auto device = backend_->plug("HW0000000001");
    unsigned char buf[1000];
    USBSeqDriver driver;
    run(driver, buf, sizeof buf);
    ASSERT_TRUE(device->wait_reads(1));
    // Long enough that waiting out the attempts would hang the test.
    USBSeqDriver::open_retry_pause.store(60000);
    backend_->unplug(device);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(driver.done());
    EXPECT_TRUE(driver.is_finished());
    driver.close_port(nullptr);
}

TEST_F(UsbSeqDriverTest, DestroyingARunningDriverStopsItsReader) {
    auto device = backend_->plug("HW0000000001");
    unsigned char buf[1000];
    {
        USBSeqDriver driver;
        run(driver, buf, sizeof buf);
        ASSERT_TRUE(device->wait_reads(1));
    }
    // A second run on a new driver over the same buffer proves nothing of the
    // first is left reading into it.
    USBSeqDriver driver;
    run(driver, buf, sizeof buf);
    device->push({9});
    ASSERT_TRUE(device->wait_reads(3));
    driver.done();
}

TEST_F(UsbSeqDriverTest, ReaderWithoutABufferEndsAtOnce) {
    auto device = backend_->plug("HW0000000001");
    USBSeqDriver driver;
    ASSERT_TRUE(driver.open_port(port_name, 0, 0));
    ASSERT_TRUE(driver.init());
    driver.done();
    EXPECT_EQ(device->reads_started, 0);
    // init() after done() starts afresh.
    unsigned char buf[16];
    driver.set_input_callback_buff(buf, sizeof buf);
    driver.init();
    EXPECT_FALSE(driver.is_finished());
    ASSERT_TRUE(device->wait_reads(1));
    driver.done();
}

}  // namespace

// The connection reads the device's ID by number, claims that ID, then opens
// the device by number again: a device that arrives or leaves in between can
// put another one under that number. The connection must not run on a device
// it has not claimed. (Before, start() succeeded on the other device.)
TEST_F(UsbSeqDriverTest, StartRefusesADeviceOtherThanTheOneItClaimed) {
    backend_->plug("HW0000000001", "FAKE00A");
    backend_->plug("HW0000000002", "FAKE00B");
    bool swapped = false;
    backend_->before_normal_open = [&swapped](std::vector<std::shared_ptr<FakeDevice>>& devices) {
        if (swapped) return;
        int read;
        {
            std::lock_guard<std::mutex> lock(devices[0]->mutex);
            read = devices[0]->records_read;
        }
        if (read == 0) return;
        std::swap(devices[0], devices[1]);  // once the first device's ID has been read
        swapped = true;
    };
    ChanIOControl c;
    EXPECT_FALSE(c.start(0));
    EXPECT_TRUE(c.stopped());
    backend_->before_normal_open = nullptr;
    EXPECT_TRUE(c.start(0));  // device B, read and opened alike
    EXPECT_TRUE(c.stop());
}

// stop() gives the device claim back only once the device is closed: another
// connection that takes the claim must not find the device still open here.
// (Before, the claim was free while the device was being closed.)
TEST_F(UsbSeqDriverTest, StopGivesTheClaimBackAfterClosingTheDevice) {
    auto device = backend_->plug("HW0000000001", "FAKE00C");
    ChanIOControl c;
    ASSERT_TRUE(c.start(0));
    std::vector<bool> claim_free_at_close;
    device->on_close = [&claim_free_at_close] {
        zorbel::DeviceClaim::Outcome outcome;
        claim_free_at_close.push_back(
            zorbel::DeviceClaim::create(zorbel::DeviceClaim::name_for_id("FAKE00C"), outcome) != nullptr);
    };
    ASSERT_TRUE(c.stop());
    device->on_close = nullptr;
    ASSERT_FALSE(claim_free_at_close.empty());
    for (bool free : claim_free_at_close) EXPECT_FALSE(free);
    zorbel::DeviceClaim::Outcome outcome;
    EXPECT_NE(zorbel::DeviceClaim::create(zorbel::DeviceClaim::name_for_id("FAKE00C"), outcome), nullptr);
}
