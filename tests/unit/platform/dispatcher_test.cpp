// The main-thread queue: tasks from other threads run on the pumping thread,
// their posters wait for them, and a task's exception reaches its poster.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/dispatcher.h"

namespace salvor {
namespace {

TEST(QueueDispatcher, PostersFromTwoThreadsWaitForTheMainThread) {
    QueueDispatcher dispatcher;  // this thread pumps
    const std::thread::id mainId = std::this_thread::get_id();
    int counter = 0;  // touched only on the main thread
    std::atomic<int> offMain{0}, finished{0}, rethrown{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < 2; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                int seen = -1;
                dispatcher.runSync([&] {
                    if (std::this_thread::get_id() != mainId) ++offMain;
                    seen = ++counter;
                });
                if (seen <= 0) ++offMain;  // returned before the task ran
            }
            try {
                dispatcher.runSync([] { throw std::runtime_error("task failed"); });
            } catch (const std::runtime_error&) {
                ++rethrown;
            }
            ++finished;
            dispatcher.wake();
        });
    }
    dispatcher.pumpUntil([&] { return finished.load() == 2; });
    for (auto& p : posters) p.join();
    EXPECT_EQ(counter, 4000);
    EXPECT_EQ(offMain, 0);
    EXPECT_EQ(rethrown, 2);
    // The main thread's own task runs at once.
    dispatcher.runSync([&] { ++counter; });
    EXPECT_EQ(counter, 4001);
}

}  // namespace
}  // namespace salvor
