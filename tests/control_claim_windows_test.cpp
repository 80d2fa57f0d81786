// The device claim on Windows: a named mutex that another process sees, that
// turns a second claim away while held, and that the system drops when its
// holder ends, killed or not. The holder is this same program started again
// with the name to hold in its environment.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "control/device_claim.h"
#include "support/platform_process.h"

using zorbel::DeviceClaim;

namespace {

const char kHoldVariable[] = "ZORBEL_TEST_HOLD_CLAIM";

std::string unique_name(const char* tag) {
    return DeviceClaim::name_for_id(tag) + "#" + std::to_string(zorbel::detail::process_id());
}

DeviceClaim::Outcome try_claim(const std::string& name) {
    DeviceClaim::Outcome outcome;
    std::unique_ptr<DeviceClaim> claim = DeviceClaim::create(name, outcome);
    EXPECT_EQ(claim != nullptr, outcome == DeviceClaim::Outcome::taken);
    return outcome;
}

// A process of this program holding `name`: it says so by signalling the
// event "<name>-ready", then holds until "<name>-release" is signalled or it
// is killed.
class Holder {
public:
    explicit Holder(const std::string& name)
        : ready_(::CreateEventA(nullptr, TRUE, FALSE, (name + "-ready").c_str())),
          release_(::CreateEventA(nullptr, TRUE, FALSE, (name + "-release").c_str())) {
        char program[MAX_PATH];
        ::GetModuleFileNameA(nullptr, program, MAX_PATH);
        std::string command = std::string("\"") + program + "\" --gtest_filter=ClaimHolder.Hold";
        ::SetEnvironmentVariableA(kHoldVariable, name.c_str());
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        started_ = ::CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                    &startup, &process_) != 0;
        ::SetEnvironmentVariableA(kHoldVariable, nullptr);
    }
    ~Holder() {
        if (started_) {
            ::TerminateProcess(process_.hProcess, 1);
            ::WaitForSingleObject(process_.hProcess, INFINITE);
            ::CloseHandle(process_.hThread);
            ::CloseHandle(process_.hProcess);
        }
        ::CloseHandle(ready_);
        ::CloseHandle(release_);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    bool holding() {
        HANDLE both[] = {ready_, process_.hProcess};
        return started_ && ::WaitForMultipleObjects(2, both, FALSE, 30000) == WAIT_OBJECT_0;
    }
    // The holder lets go and ends by itself; its exit status.
    DWORD release() {
        ::SetEvent(release_);
        ::WaitForSingleObject(process_.hProcess, INFINITE);
        DWORD status = 0;
        ::GetExitCodeProcess(process_.hProcess, &status);
        return status;
    }
    void kill() {
        ::TerminateProcess(process_.hProcess, 9);
        ::WaitForSingleObject(process_.hProcess, INFINITE);
    }

private:
    HANDLE ready_;
    HANDLE release_;
    PROCESS_INFORMATION process_{};
    bool started_ = false;
};

}  // namespace

// The holder's side, run only in the process that Holder starts.
TEST(ClaimHolder, Hold) {
    const char* name = std::getenv(kHoldVariable);
    if (name == nullptr) GTEST_SKIP() << "runs only as the holder process";
    DeviceClaim::Outcome outcome;
    std::unique_ptr<DeviceClaim> claim = DeviceClaim::create(name, outcome);
    ASSERT_TRUE(claim);
    HANDLE ready = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, (std::string(name) + "-ready").c_str());
    HANDLE release = ::OpenEventA(SYNCHRONIZE, FALSE, (std::string(name) + "-release").c_str());
    ASSERT_TRUE(ready && release);
    ::SetEvent(ready);
    ::WaitForSingleObject(release, INFINITE);
    ::CloseHandle(ready);
    ::CloseHandle(release);
}

TEST(WindowsDeviceClaim, AnotherProcessHoldsItUntilItLetsGo) {
    const std::string name = unique_name("W");
    Holder holder(name);
    ASSERT_TRUE(holder.holding());
    EXPECT_TRUE(DeviceClaim::held(name));
    EXPECT_EQ(try_claim(name), DeviceClaim::Outcome::held_elsewhere);
    EXPECT_EQ(holder.release(), 0u);
    EXPECT_FALSE(DeviceClaim::held(name));
    EXPECT_EQ(try_claim(name), DeviceClaim::Outcome::taken);
}

TEST(WindowsDeviceClaim, AKilledHolderLeavesNothingClaimed) {
    const std::string name = unique_name("K");
    Holder holder(name);
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(try_claim(name), DeviceClaim::Outcome::held_elsewhere);
    holder.kill();
    EXPECT_EQ(try_claim(name), DeviceClaim::Outcome::taken);
}

// Within one process too, and a name no mutex may carry fails cleanly.
TEST(WindowsDeviceClaim, SecondClaimInThisProcessAndBadNames) {
    const std::string name = unique_name("S");
    DeviceClaim::Outcome outcome;
    std::unique_ptr<DeviceClaim> first = DeviceClaim::create(name, outcome);
    ASSERT_TRUE(first);
    EXPECT_TRUE(DeviceClaim::held(name));
    EXPECT_EQ(try_claim(name), DeviceClaim::Outcome::held_elsewhere);
    first.reset();
    EXPECT_FALSE(DeviceClaim::held(name));
    for (const std::string& bad : {std::string(), std::string(MAX_PATH, 'x'), std::string("a\\b")}) {
        EXPECT_EQ(try_claim(bad), DeviceClaim::Outcome::failed);
        EXPECT_FALSE(DeviceClaim::held(bad));
    }
}
