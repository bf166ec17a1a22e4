#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sim/SimListenerList.h"

namespace {

// A transport removes its listener while another thread's Notify is inside it: the removal must
// wait for that call to end (the transport is about to be freed), and a listener removed after the
// Notify began must not be called by it.
TEST(SimListenerListTest, RemovalWaitsForTheCallInFlightAndNoLaterCallFollows) {
    SimListenerList list;
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool release = false;
    int blockingCalls = 0;
    const int blocking = list.Add([&] {
        std::unique_lock lock(mutex);
        if (++blockingCalls == 1) {
            entered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
        }
    });
    std::atomic<int> laterCalls{0};
    const int later = list.Add([&] { ++laterCalls; });  // due after the blocking one in this Notify

    std::thread notifier([&] { list.Notify(); });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return entered; });
    }
    list.Remove(later);  // not in a call: returns at once
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        list.Remove(blocking);
        removed = true;
    });
    // Ample time for a removal that does not wait to come back; one that waits never does.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed) << "the removal returned while its listener was still running";
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    changed.notify_all();
    remover.join();
    notifier.join();
    EXPECT_TRUE(removed);
    EXPECT_EQ(laterCalls, 0) << "called after its removal by a Notify that began before it";

    list.Notify();
    EXPECT_EQ(blockingCalls, 1);
    EXPECT_EQ(laterCalls, 0);
}

// Removal on the notifying thread, while the listener's own call is further up the stack: from
// itself, or from another listener that a nested Notify calls. Waiting would never end.
TEST(SimListenerListTest, RemovalFromWithinACallOnTheSameThreadDoesNotWait) {
    SimListenerList list;
    int outerCalls = 0;
    int innerCalls = 0;
    int outer = 0;
    int inner = 0;
    outer = list.Add([&] {
        if (++outerCalls == 1) {
            list.Notify();  // a listener that changes the reader, which tells its listeners again
        }
    });
    inner = list.Add([&] {
        ++innerCalls;
        list.Remove(outer);  // in a call further up this thread
        list.Remove(inner);  // in this very call
    });

    list.Notify();
    EXPECT_EQ(outerCalls, 2);  // once from each Notify, both before the removal
    EXPECT_EQ(innerCalls, 1);  // removed in the nested Notify, so the outer one skips it
    list.Notify();
    EXPECT_EQ(outerCalls, 2);
    EXPECT_EQ(innerCalls, 1);
}

}  // namespace
