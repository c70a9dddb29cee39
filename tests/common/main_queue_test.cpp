#include <gtest/gtest.h>

#include <string>

#include "common/main_queue.h"

namespace qel {

TEST(ManualMainQueue, RunsTasksInDueOrderAsTheVirtualClockAdvances) {
    ManualMainQueue q;
    std::string trace;
    q.postAfter(1000, [&] { trace += "C"; });
    q.postAfter(100, [&] {
        trace += "A";
        q.post([&] { trace += "a"; });            // posted for "now" = 100 ms
        q.postAfter(500, [&] { trace += "B"; });  // due at 600 ms
    });
    EXPECT_EQ(q.runReady(), 0);
    EXPECT_EQ(q.advance(99), 0);
    EXPECT_EQ(q.advance(1), 2);
    EXPECT_EQ(trace, "Aa");
    EXPECT_EQ(q.advance(899), 1);
    EXPECT_EQ(trace, "AaB");
    EXPECT_EQ(q.now(), 999);
    EXPECT_EQ(q.advance(1), 1);
    EXPECT_EQ(trace, "AaBC");
    EXPECT_EQ(q.pending(), 0u);
}

}  // namespace qel
