// The system-wide device claim: seen by this and other processes, gone when
// its holder lets go, exits or is killed, and not inherited by programs the
// holder starts.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "control/device_claim.h"
#include "zorbel/emulator.h"

using zorbel::DeviceClaim;

namespace {

// A name no other test program uses, so parallel test runs do not meet.
std::string unique_name(const char* tag) {
    return DeviceClaim::name_for_id(tag) + "#" + std::to_string(::getpid());
}

DeviceClaim::Outcome try_claim(const std::string& name) {
    DeviceClaim::Outcome outcome;
    std::unique_ptr<DeviceClaim> claim = DeviceClaim::create(name, outcome);
    EXPECT_EQ(claim != nullptr, outcome == DeviceClaim::Outcome::taken);
    return outcome;
}

// Forks a child that takes `name` and holds it until killed; returns its pid
// once the claim is taken (or -1 when the child could not take it).
pid_t child_holding(const std::string& name) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        DeviceClaim::Outcome outcome;
        std::unique_ptr<DeviceClaim> claim = DeviceClaim::create(name, outcome);
        char byte = claim ? 1 : 0;
        if (::write(ready[1], &byte, 1) != 1) ::_exit(2);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    bool taken = ::read(ready[0], &byte, 1) == 1 && byte == 1;
    ::close(ready[0]);
    if (!taken) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

}  // namespace

TEST(DeviceClaim, NameCarriesTheIdUpToSevenCharacters) {
    EXPECT_EQ(DeviceClaim::name_for_id("AB12345"), "{46FD48E3-FCBA-45d6-942F-B44EAC7F97A5}@AB12345");
    EXPECT_EQ(DeviceClaim::name_for_id("AB12345XYZ"), "{46FD48E3-FCBA-45d6-942F-B44EAC7F97A5}@AB12345");
    EXPECT_EQ(DeviceClaim::name_for_id(""), "{46FD48E3-FCBA-45d6-942F-B44EAC7F97A5}@");
}

TEST(DeviceClaim, EmulatedDevicesAreClaimedInTheirBusScope) {
    const std::string machine_wide = DeviceClaim::name_for_id("AB12345");
    {
        // By default only this process sees claims on its emulated devices:
        // another program's emulated "AB12345" is another device.
        zorbel::EmulatedBus bus;
        const std::string own = DeviceClaim::name_for_id("AB12345");
        EXPECT_EQ(own, machine_wide + "#emulated-" + std::to_string(::getpid()));
        // Buses given one scope share their claims, across processes too.
        bus.set_claim_scope("suite");
        EXPECT_EQ(DeviceClaim::name_for_id("AB12345"), machine_wide + "#suite");
    }
    EXPECT_EQ(DeviceClaim::name_for_id("AB12345"), machine_wide);  // the bus is gone
}

TEST(DeviceClaim, SecondClaimInOneProcessFailsUntilTheFirstIsGivenBack) {
    std::string name = unique_name("same");
    DeviceClaim::Outcome outcome;
    std::unique_ptr<DeviceClaim> first = DeviceClaim::create(name, outcome);
    ASSERT_TRUE(first);
    EXPECT_EQ(try_claim(name), DeviceClaim::Outcome::held_elsewhere);
    EXPECT_EQ(try_claim(unique_name("other")), DeviceClaim::Outcome::taken);
    first.reset();
    EXPECT_EQ(try_claim(name), DeviceClaim::Outcome::taken);
}

TEST(DeviceClaim, AnotherProcessSeesTheClaimUntilItIsKilled) {
    std::string name = unique_name("fork");
    pid_t holder = child_holding(name);
    ASSERT_GT(holder, 0);
    EXPECT_EQ(try_claim(name), DeviceClaim::Outcome::held_elsewhere);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(try_claim(name), DeviceClaim::Outcome::taken);
}

TEST(DeviceClaim, ProgramsStartedByTheHolderDoNotInheritIt) {
    std::string name = unique_name("exec");
    DeviceClaim::Outcome outcome;
    std::unique_ptr<DeviceClaim> claim = DeviceClaim::create(name, outcome);
    ASSERT_TRUE(claim);
    pid_t child;
    char sleep_path[] = "/bin/sleep";
    char seconds[] = "30";
    char* argv[] = {sleep_path, seconds, nullptr};
    ASSERT_EQ(::posix_spawn(&child, sleep_path, nullptr, nullptr, argv, environ), 0);
    claim.reset();
    // The spawning call can return while the child is still inside exec,
    // before the kernel has closed its close-on-exec copies; so the claim
    // must come free within a moment, while the child lives on (30 s).
    DeviceClaim::Outcome after = DeviceClaim::Outcome::failed;
    for (int i = 0; i < 200 && after != DeviceClaim::Outcome::taken; ++i) {
        after = try_claim(name);
        if (after != DeviceClaim::Outcome::taken) ::usleep(10 * 1000);
    }
    EXPECT_EQ(after, DeviceClaim::Outcome::taken);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

TEST(DeviceClaim, NameTooLongForTheNamespaceFails) {
    EXPECT_EQ(try_claim(std::string(200, 'x')), DeviceClaim::Outcome::failed);
    EXPECT_EQ(try_claim(""), DeviceClaim::Outcome::failed);
}
