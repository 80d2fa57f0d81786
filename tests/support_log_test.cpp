// The log: off until asked for, filtered by level, replaced or turned off
// from any thread while messages are being written.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "fixtures/log_capture.h"
#include "support/log.h"

namespace {

using zorbel::LogLevel;
using zorbel::testing::LogCapture;

int evaluations = 0;
int counted() { return ++evaluations; }

TEST(Log, OffByDefaultAndTheMessageIsNotEvenBuilt) {
    // The test runs without ZORBEL_DEBUG (ctest does not set it).
    evaluations = 0;
    ZORBEL_LOG(LogLevel::error, "never " << counted());
    EXPECT_EQ(evaluations, 0);
    EXPECT_FALSE(zorbel::detail::log_enabled(LogLevel::error));
}

TEST(Log, AHandlerSeesItsLevelAndTheMoreSevereOnes) {
    LogCapture log(LogLevel::warning);
    evaluations = 0;
    ZORBEL_LOG(LogLevel::error, "e " << 1);
    ZORBEL_LOG(LogLevel::warning, "w " << 2);
    ZORBEL_LOG(LogLevel::info, "i " << counted());
    ZORBEL_LOG(LogLevel::debug, "d " << counted());
    EXPECT_EQ(evaluations, 0);
    const std::vector<std::pair<LogLevel, std::string>> expected{{LogLevel::error, "e 1"},
                                                                 {LogLevel::warning, "w 2"}};
    EXPECT_EQ(log.messages(), expected);
}

TEST(Log, AnEmptyHandlerTurnsTheLogOff) {
    {
        LogCapture log(LogLevel::debug);
        EXPECT_TRUE(zorbel::detail::log_enabled(LogLevel::debug));
    }
    EXPECT_FALSE(zorbel::detail::log_enabled(LogLevel::error));
}

TEST(Log, LevelNamesAreTheOnesTheEnvironmentVariableTakes) {
    EXPECT_STREQ(zorbel::log_level_name(LogLevel::error), "error");
    EXPECT_STREQ(zorbel::log_level_name(LogLevel::warning), "warning");
    EXPECT_STREQ(zorbel::log_level_name(LogLevel::info), "info");
    EXPECT_STREQ(zorbel::log_level_name(LogLevel::debug), "debug");
}

// A handler replaced while other threads write: every message goes to one
// handler that is still alive (the sanitizer builds check the lifetime). The
// writers write a fixed number of messages, so no thread can starve the one
// replacing handlers.
TEST(Log, HandlersReplacedWhileThreadsWrite) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t)
        writers.emplace_back([] {
            for (int i = 0; i < 2000; ++i) ZORBEL_LOG(LogLevel::info, "message " << i);
        });
    for (int round = 0; round < 200; ++round) {
        LogCapture log(round % 2 ? LogLevel::info : LogLevel::error);
    }
    for (std::thread& writer : writers) writer.join();
    EXPECT_FALSE(zorbel::detail::log_enabled(LogLevel::error));
}

}  // namespace
