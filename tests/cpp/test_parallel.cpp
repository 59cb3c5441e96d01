#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "parallel.hpp"

namespace {

TEST(ForEachBlock, RunsEveryBlockOnceInBothModes) {
    for (bool parallel : {false, true}) {
        std::vector<std::atomic<int>> runs(1000);
        zorp::for_each_block(static_cast<zorp::Index>(runs.size()), parallel,
                             [&runs](zorp::Index b) { ++runs[static_cast<size_t>(b)]; });
        for (const auto& r : runs) {
            ASSERT_EQ(r.load(), 1);
        }
    }
    zorp::for_each_block(0, true, [](zorp::Index) { FAIL() << "no block to run"; });
}

TEST(ForEachBlock, RethrowsTheFirstErrorAfterStopping) {
    std::atomic<int> started{0};
    const auto body = [&started](zorp::Index b) {
        ++started;
        if (b == 3) {
            throw std::runtime_error("block 3");
        }
    };
    EXPECT_THROW(zorp::for_each_block(100000, true, body), std::runtime_error);
    // Blocks after the failure are skipped, not run to the end.
    EXPECT_LT(started.load(), 100000);
}

// The calling thread polls, alone, between its blocks and while it waits for
// the others; once the check fires, blocks not yet started are skipped and
// Cancelled is thrown after every thread has stopped.
TEST(ForEachBlock, CancellationIsPolledOnTheCallingThreadOnly) {
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> foreign_poll{false};
    std::atomic<int> polls{0};
    const zorp::CancelCheck cancel = [&] {
        foreign_poll = foreign_poll || std::this_thread::get_id() != caller;
        return ++polls >= 5;
    };
    std::atomic<int> started{0};
    const auto body = [&started](zorp::Index) {
        ++started;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    EXPECT_THROW(zorp::for_each_block(100000, true, body, cancel), zorp::Cancelled);
    EXPECT_FALSE(foreign_poll);
    EXPECT_EQ(polls, 5);
    EXPECT_LT(started.load(), 1000);
    // A long block on another thread: the caller, out of blocks, keeps polling.
    polls = 0;
    const auto long_elsewhere = [&](zorp::Index b, zorp::TeamControl& control) {
        if (b == 1) {
            while (control.keep_going(zorp::Index{1} << 20)) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        }
    };
    EXPECT_THROW(zorp::for_each_block(2, true, long_elsewhere, cancel), zorp::Cancelled);
    EXPECT_FALSE(foreign_poll);
}

}  // namespace
