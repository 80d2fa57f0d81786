// Device scenarios for the modern interface (zorbel/client.h): selectors,
// the reasons calls fail for, connections and pipes that give themselves
// back, boot, waiting and watching (fixtures/device_scenarios.h), on every
// backend.
#include <condition_variable>
#include <mutex>

#include "fixtures/device_scenarios.h"
#include "zorbel/client.h"

namespace {

using namespace zorbel::testing::scenarios;  // the suite's own helpers
using std::chrono::milliseconds;
using zorbel::errc;

// The 22 code units of an information record: type letter, hardware ID, two
// unused (not zero: a zero would end the text), ID.
std::u16string record_of(const std::string& hardware_id, const std::string& id) {
    std::string text = "T" + hardware_id + "  " + id;
    return std::u16string(text.begin(), text.end());
}

template <class Call>
std::error_code code_of(Call call) {
    try {
        call();
    } catch (const zorbel::Error& e) {
        return e.code();
    }
    return {};
}

template <class Call>
std::string what_of(Call call) {
    try {
        call();
    } catch (const zorbel::Error& e) {
        return e.what();
    }
    return {};
}

// Sends `n` bytes through an echo on `pipe` and reads them back, each call
// bounded by `limit`; true when they came back as sent. Written on a thread
// of its own: the echo takes no more while what it sent back is not read.
bool echoes(zorbel::Pipe& pipe, size_t n, milliseconds limit) {
    const std::vector<unsigned char> data = pattern(n, 7);
    std::error_code write_ec;
    std::thread writer([&] {
        pipe.write(data.data(), data.size(), limit, write_ec);
        if (!write_ec) pipe.flush(limit, write_ec);
    });
    std::vector<unsigned char> back(n);
    size_t have = 0;
    std::error_code read_ec;
    while (have < n && !read_ec) {
        const size_t got = pipe.read(back.data() + have, n - have, limit, read_ec);
        if (got == 0) break;
        have += got;
    }
    writer.join();
    EXPECT_FALSE(write_ec) << write_ec.message();
    EXPECT_FALSE(read_ec) << read_ec.message();
    return have == n && back == data;
}

// Events a watcher reported, for the test's thread to wait on.
class Events {
public:
    void add(const std::string& what) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(what);
        }
        changed_.notify_all();
    }
    // True once `what` has been reported (bounded, so a missing event fails
    // the test instead of hanging it).
    bool wait_for(const std::string& what) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20),
                                 [&] { return std::find(seen_.begin(), seen_.end(), what) != seen_.end(); });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> seen_;
};

TEST_P(DeviceScenarios, ListAndSelectors) {
    ASSERT_TRUE(rig_->add_device('A', true).valid());
    ASSERT_TRUE(rig_->add_device('B').valid());
    EmulatedDevice c = rig_->add_device('C');
    ASSERT_TRUE(c.valid());

    const std::vector<zorbel::DeviceInfo> devices = zorbel::list_devices();
    ASSERT_EQ(devices.size(), 3U);
    EXPECT_EQ(devices[0].mode, zorbel::DeviceMode::boot);
    EXPECT_EQ(devices[0].hardware_id, "");  // a boot loader tells nothing
    EXPECT_EQ(devices[1].hardware_id, hw('B'));
    EXPECT_EQ(devices[1].id, id('B'));
    EXPECT_EQ(devices[1].type, 'T');
    for (size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i].number, static_cast<int>(i));
        EXPECT_FALSE(devices[i].location.empty());
        EXPECT_FALSE(devices[i].in_use);
    }
    EXPECT_NE(devices[1].location, devices[2].location);

    struct Case {
        zorbel::DeviceSelector selector;
        std::string hardware_id;  // of the device found, or empty
        errc failure;             // when none is found
    };
    const Case cases[] = {
        {1, hw('B'), {}},
        {hw('C'), hw('C'), {}},
        {id('B'), hw('B'), {}},
        {devices[2].location, hw('C'), {}},
        {zorbel::DeviceSelector::parse("2"), hw('C'), {}},
        {zorbel::DeviceSelector::parse(id('C')), hw('C'), {}},
        {3, "", errc::no_such_device},
        {-1, "", errc::no_such_device},
        {"ZB9999999999", "", errc::no_such_device},
        {"", "", errc::no_such_device},
    };
    for (const Case& k : cases) {
        std::error_code ec;
        zorbel::DeviceInfo found = zorbel::find_device(k.selector, ec);
        if (k.hardware_id.empty()) {
            EXPECT_EQ(ec, k.failure) << k.selector.describe();
        } else {
            EXPECT_FALSE(ec) << k.selector.describe() << ": " << ec.message();
            EXPECT_EQ(found.hardware_id, k.hardware_id) << k.selector.describe();
        }
    }

    // Two devices that claim one ID: naming that ID is refused, not guessed.
    c.set_info_record(record_of(hw('C'), id('B')));
    EXPECT_EQ(code_of([&] { zorbel::find_device(id('B')); }), errc::ambiguous_selector);
    EXPECT_EQ(zorbel::find_device(hw('C')).number, 2);
}

TEST_P(DeviceScenarios, ModernEchoAndTheReasonsCallsFail) {
    ASSERT_TRUE(rig_->add_device('A', true).valid());
    EmulatedDevice b = rig_->add_device('B');
    ASSERT_TRUE(b.valid());
    b.bind(1, zorbel::echo_program());

    EXPECT_EQ(code_of([] { zorbel::connect(0); }), errc::wrong_mode);
    std::error_code ec;
    EXPECT_FALSE(zorbel::connect("nothing", ec));
    EXPECT_EQ(ec, errc::no_such_device);
    EXPECT_EQ(ec, std::errc::no_such_device);  // the portable condition too

    zorbel::Connection connection = zorbel::connect(hw('B'));
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection.device().id, id('B'));
    EXPECT_TRUE(zorbel::find_device(hw('B')).in_use);
    EXPECT_EQ(code_of([&] { zorbel::connect(hw('B')); }), errc::busy);

    EXPECT_EQ(code_of([&] { connection.pipe(0); }), errc::invalid_argument);
    EXPECT_EQ(code_of([&] { connection.pipe(126); }), errc::invalid_argument);

    zorbel::Pipe echo = connection.pipe(1, "echo");
    EXPECT_EQ(code_of([&] { connection.pipe(1); }), errc::busy);
    // This connection holds the number; no other connection is involved.
    const std::string twice = what_of([&] { connection.pipe(1); });
    EXPECT_NE(twice.find("open already on this connection"), std::string::npos) << twice;
    EXPECT_EQ(twice.find("another"), std::string::npos) << twice;
    // Written on a thread of its own: the echo sends back as it takes, and
    // takes no more while what it sent back is not read.
    const std::vector<unsigned char> data = pattern(200000, 5);
    std::error_code write_ec;
    std::thread writer([&] {
        echo.write(data.data(), data.size(), std::nullopt, write_ec);
        if (!write_ec) echo.flush(std::nullopt, write_ec);
    });
    std::vector<unsigned char> back(data.size());
    size_t have = 0;
    while (have < back.size()) {
        const size_t n = echo.read(back.data() + have, back.size() - have, std::chrono::seconds(20));
        if (n == 0) break;
        have += n;
    }
    writer.join();
    EXPECT_FALSE(write_ec) << write_ec.message();
    EXPECT_EQ(back, data);

    // Nothing answers on pipe 5: a read gives up on its time-out, and says so.
    zorbel::Pipe silent = connection.pipe(5);
    unsigned char byte;
    EXPECT_EQ(silent.read(&byte, 1, milliseconds(30), ec), 0U);
    EXPECT_EQ(ec, errc::timed_out);
    EXPECT_EQ(ec, std::errc::timed_out);

    // Released pipes free their numbers; a closed connection frees the device.
    echo.close();
    EXPECT_TRUE(connection.pipe(1));
    connection.close();
    EXPECT_FALSE(zorbel::find_device(hw('B')).in_use);
    EXPECT_TRUE(claim_free(id('B')));
    // Every call on a closed connection's pipe says so, also a write that the
    // pipe's buffer would take.
    EXPECT_EQ(code_of([&] { silent.read(&byte, 1, milliseconds(30)); }), errc::cancelled);
    EXPECT_EQ(code_of([&] { silent.write(&byte, 1); }), errc::cancelled);
    EXPECT_EQ(code_of([&] { silent.flush(milliseconds(30)); }), errc::cancelled);
}

TEST_P(DeviceScenarios, ClosingAConnectionEndsCallsBlockedInItsPipes) {
    EmulatedDevice b = rig_->add_device('B');
    ASSERT_TRUE(b.valid());
    zorbel::Connection connection = zorbel::connect(hw('B'));
    // Pipe 7 has no program: a read waits for ever, and a flush waits for a
    // request that never comes.
    zorbel::Pipe reading = connection.pipe(7);
    zorbel::Pipe writing = connection.pipe(8);
    std::error_code read_ec, flush_ec;
    std::thread reader([&] {
        unsigned char byte;
        reading.read(&byte, 1, std::nullopt, read_ec);
    });
    std::thread writer([&] {
        const std::vector<unsigned char> data(5000, 1);
        writing.write(data.data(), data.size(), std::nullopt, flush_ec);
    });
    connection.close();  // while both are blocked, or about to be
    reader.join();
    writer.join();
    EXPECT_EQ(read_ec, errc::cancelled);
    EXPECT_EQ(flush_ec, errc::cancelled);
    EXPECT_TRUE(claim_free(id('B')));
    // The pipes go after the connection; the device is free for the next.
    reading = zorbel::Pipe();
    writing = zorbel::Pipe();
    zorbel::Connection again = zorbel::connect(hw('B'));
    EXPECT_TRUE(again.pipe(7));
}

// A pipe may outlive its connection: closing the connection ends the pipe on
// the device while the link is up (the device's program sees it end), and the
// next connection's pipe with that number starts afresh. (Before, the pipe's
// end was sent only when it was released, on a link already stopped: the
// device kept its block numbers and the next pipe 1 never got through.)
TEST_P(DeviceScenarios, ClosingAConnectionEndsItsLivePipesOnTheDevice) {
    EmulatedDevice b = rig_->add_device('B');
    ASSERT_TRUE(b.valid());
    auto ended = std::make_shared<std::atomic<int>>(0);
    b.bind(1, [ended](zorbel::DevicePipe& pipe) {
        zorbel::echo_program()(pipe);
        ended->fetch_add(1);
    });
    zorbel::Pipe outliving;
    int ended_before = 0;
    {
        zorbel::Connection first = zorbel::connect(hw('B'));
        outliving = first.pipe(1);
        ASSERT_TRUE(echoes(outliving, 3000, std::chrono::seconds(10)));
        ended_before = ended->load();
    }  // closed here, with the pipe still open
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(10);
    while (ended->load() == ended_before && Clock::now() < limit)
        std::this_thread::sleep_for(milliseconds(2));
    EXPECT_EQ(ended->load(), ended_before + 1) << "the device's program did not see its pipe end";
    outliving.close();

    zorbel::Connection second = zorbel::connect(hw('B'));
    zorbel::Pipe again = second.pipe(1);
    EXPECT_TRUE(echoes(again, 3000, std::chrono::seconds(10)));
}

// A connection whose device went away and did not come back refuses new
// pipes with device_gone. (Before, it handed out a pipe.)
TEST_P(DeviceScenarios, ALostConnectionRefusesNewPipes) {
    EmulatedDevice b = rig_->add_device('B');
    ASSERT_TRUE(b.valid());
    zorbel::Connection first = zorbel::connect(hw('B'));
    rig_->unplug(b);
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(20);
    while (!first.lost() && Clock::now() < limit) std::this_thread::sleep_for(milliseconds(2));
    ASSERT_TRUE(first.lost());
    EXPECT_EQ(code_of([&] { first.pipe(2); }), errc::device_gone);
}

TEST_P(DeviceScenarios, LastErrorTellsWhyAClassicCallFailed) {
    ASSERT_TRUE(rig_->add_device('A', true).valid());
    ASSERT_TRUE(rig_->add_device('B').valid());
    char id_text[8];
    EXPECT_FALSE(Get_Zorbel_ID(0, id_text));
    EXPECT_EQ(zorbel::last_error(), errc::wrong_mode);
    EXPECT_FALSE(Get_Zorbel_ID(2, id_text));
    EXPECT_EQ(zorbel::last_error(), errc::no_such_device);
    EXPECT_EQ(Boot_Zorbel(0, nullptr, 10), -1);
    EXPECT_EQ(zorbel::last_error(), errc::invalid_argument);
    char unknown[] = "ZB9999999999";
    EXPECT_EQ(GetOpenIndexForDeviceByHID(unknown), -1);
    EXPECT_EQ(zorbel::last_error(), errc::no_such_device);

    ChanIOControl first;
    ASSERT_TRUE(first.start(1));
    // Streams: a pipe that nothing on the device serves times out both ways.
    char pipe_name[] = "silent";
    XPipe* silent = first.get_pipe_factory()->new_pipe(pipe_name, 9, 0);
    ASSERT_NE(silent, nullptr);
    in_of(silent).set_timeout(30);
    unsigned char byte;
    EXPECT_EQ(in_of(silent).read(&byte, 1), 0);
    EXPECT_EQ(zorbel::last_error(), errc::timed_out);
    out_of(silent).set_timeout(30);
    EXPECT_EQ(out_of(silent).write_byte(1), 1);
    EXPECT_FALSE(out_of(silent).flush());
    EXPECT_EQ(zorbel::last_error(), errc::timed_out);
    EXPECT_EQ(first.get_pipe_factory()->new_pipe(pipe_name, 9, 0), nullptr);
    EXPECT_EQ(zorbel::last_error(), errc::busy);
    for (unsigned long number : {0UL, 126UL, 255UL, 256UL, 1000UL}) {
        EXPECT_EQ(first.get_pipe_factory()->new_pipe(pipe_name, number, 0), nullptr);
        EXPECT_EQ(zorbel::last_error(), errc::invalid_argument) << "pipe " << number;
    }
    EXPECT_TRUE(silent->release());
    ChanIOControl second;
    EXPECT_FALSE(second.start(1));
    EXPECT_EQ(zorbel::last_error(), errc::busy);
    EXPECT_FALSE(first.start(1));
    EXPECT_EQ(zorbel::last_error(), errc::invalid_argument);
    first.stop();
}

TEST_P(DeviceScenarios, BootReturnsTheDeviceFoundByItsHardwareId) {
    EmulatedDevice a = rig_->add_device('A', true);
    ASSERT_TRUE(a.valid());
    ASSERT_TRUE(rig_->add_device('B').valid());
    const unsigned char payload[] = "program";
    const std::vector<unsigned char> image = zorbel::make_boot_image(payload, sizeof payload);

    EXPECT_EQ(code_of([&] { zorbel::boot(1, image.data(), image.size()); }), errc::wrong_mode);
    const unsigned char junk[] = "not an image";
    EXPECT_EQ(code_of([&] { zorbel::boot(0, junk, sizeof junk); }), errc::invalid_argument);

    std::vector<zorbel::BootStage> stages;
    zorbel::DeviceInfo booted =
        zorbel::boot(0, image.data(), image.size(), std::chrono::seconds(20), [&](zorbel::BootStage s) {
            if (stages.empty() || stages.back() != s) stages.push_back(s);
            return true;
        });
    EXPECT_EQ(booted.mode, zorbel::DeviceMode::normal);
    EXPECT_EQ(booted.hardware_id, hw('A'));
    // Its number is whatever the backend's order gives it now.
    EXPECT_EQ(zorbel::find_device(hw('A')).number, booted.number);
    ASSERT_FALSE(stages.empty());
    EXPECT_EQ(stages.front(), zorbel::BootStage::handing_over);
    ASSERT_TRUE(rig_->wait_normal_mode(a, 5000));
    zorbel::Connection connection = zorbel::connect(booted.hardware_id);
    EXPECT_EQ(connection.device().id, id('A'));
}

TEST_P(DeviceScenarios, WaitForEndsOnArrivalOnTimeOutAndOnRequest) {
    std::error_code ec;
    zorbel::wait_for(hw('E'), std::nullopt, milliseconds(30), {}, ec);
    EXPECT_EQ(ec, errc::timed_out);
    zorbel::wait_for(
        hw('E'), std::nullopt, std::nullopt, [] { return false; }, ec);
    EXPECT_EQ(ec, errc::cancelled);

    zorbel::DeviceInfo found;
    std::thread waiter(
        [&] { found = zorbel::wait_for(hw('E'), zorbel::DeviceMode::normal, std::chrono::seconds(20)); });
    EmulatedDevice e = rig_->add_device('E');
    waiter.join();
    ASSERT_TRUE(e.valid());
    EXPECT_EQ(found.hardware_id, hw('E'));
}

TEST_P(DeviceScenarios, WatcherSeesArrivalsAndDepartures) {
    EmulatedDevice b = rig_->add_device('B');
    ASSERT_TRUE(b.valid());
    Events events;
    auto name = [](const char* what, const zorbel::DeviceInfo& d) {
        return std::string(what) + " " + zorbel::mode_name(d.mode) + " " + d.hardware_id;
    };
    {
        zorbel::DeviceWatcher watcher([&](const zorbel::DeviceInfo& d) { events.add(name("arrive", d)); },
                                      [&](const zorbel::DeviceInfo& d) { events.add(name("leave", d)); });
        ASSERT_EQ(watcher.devices().size(), 1U);
        EmulatedDevice c = rig_->add_device('C');
        ASSERT_TRUE(c.valid());
        EXPECT_TRUE(events.wait_for("arrive normal " + hw('C')));
        rig_->unplug(b);
        EXPECT_TRUE(events.wait_for("leave normal " + hw('B')));
        ASSERT_TRUE(rig_->plug(b));
        EXPECT_TRUE(events.wait_for("arrive normal " + hw('B')));
    }
    // The watcher's thread is gone with it (checked by the fixture).
}

}  // namespace

ZORBEL_DEVICE_SCENARIOS_ON_EVERY_BACKEND();
