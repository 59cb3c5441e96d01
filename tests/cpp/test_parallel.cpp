#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
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

}  // namespace
