#include "platform/process/dispatch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <vector>

namespace talvex {
namespace {

TEST(SerialQueue, RunsWorkInSubmissionOrderOnItsOwnThread) {
  std::vector<int> seen;
  std::thread::id queueThread;
  {
    SerialQueue q("test.serial");
    for (int i = 0; i < 1000; ++i)
      q.async([&, i] {
        seen.push_back(i);  // confined to the queue: no lock needed
        queueThread = std::this_thread::get_id();
      });
    bool current = false;
    q.sync([&] { current = q.isCurrent(); });
    EXPECT_TRUE(current);
    EXPECT_FALSE(q.isCurrent());
  }
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[static_cast<size_t>(i)], i);
  EXPECT_NE(queueThread, std::this_thread::get_id());
}

TEST(SerialQueue, DestructionRunsWhatIsQueued) {
  std::atomic<int> ran{0};
  {
    SerialQueue q("test.drain");
    q.async([] { ::usleep(50000); });
    for (int i = 0; i < 10; ++i) q.async([&] { ++ran; });
  }
  EXPECT_EQ(ran, 10);
}

TEST(SerialQueue, DelayedWorkRunsOnTheQueueAfterItsDelayAndIsDroppedWithTheQueue) {
  std::atomic<bool> late{false}, onQueue{false};
  std::chrono::steady_clock::duration waited{};
  {
    SerialQueue q("test.delay");
    Semaphore done{0};
    const auto asked = std::chrono::steady_clock::now();
    q.asyncAfter(std::chrono::milliseconds(100), [&] {
      waited = std::chrono::steady_clock::now() - asked;
      onQueue = q.isCurrent();
      done.release();
    });
    done.acquire();
    // Work still waiting for its delay neither runs nor holds up the queue's end.
    q.asyncAfter(std::chrono::hours(1), [&] { late = true; });
  }
  EXPECT_GE(waited, std::chrono::milliseconds(100));
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(late);
}

TEST(SignalSource, TurnsEachSignalIntoAHandlerCallOnTheLoop) {
  MainLoop loop;
  std::thread::id handlerThread;
  int calls = 0;
  SignalSource src(loop, SIGUSR1, [&] {
    handlerThread = std::this_thread::get_id();
    if (++calls == 2) loop.stop();
  });
  // Raised from another thread: the process must survive and the handler run on the loop.
  std::thread raiser([] {
    ::kill(::getpid(), SIGUSR1);
    ::usleep(100000);
    ::kill(::getpid(), SIGUSR1);
  });
  loop.run();
  raiser.join();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(handlerThread, std::this_thread::get_id());
}

TEST(SignalSource, KeepsASignalThatCameWhileItWasBlockedBeforeTheSourceExisted) {
  MainLoop loop;
  BlockedSignals blocked{SIGUSR2};
  // Arrives before any source exists: with a plain ignore-then-install it would be lost.
  ::pthread_kill(::pthread_self(), SIGUSR2);
  std::atomic<int> calls = 0;
  SignalSource src(loop, SIGUSR2, [&] {
    ++calls;
    loop.stop();
  });
  blocked.unblock();
  // A lost signal would leave the loop running: give up after two seconds.
  std::thread watchdog([&] {
    for (int i = 0; i < 200 && calls == 0; ++i) ::usleep(10000);
    loop.stop();
  });
  loop.run();
  watchdog.join();
  EXPECT_EQ(calls, 1);
}

TEST(MainLoop, PostedWorkRunsInOrderUntilStop) {
  MainLoop loop;
  std::vector<int> seen;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) loop.post([&, i] { seen.push_back(i); });
    loop.post([&] { loop.stop(); });
  });
  loop.run();
  poster.join();
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], i);
}

TEST(Semaphore, AwaitsWorkFromAnotherThread) {
  Semaphore done{0};
  int value = 0;
  SerialQueue other("test.semaphore");
  other.async([&] {
    value = 42;
    done.release();
  });
  done.acquire();
  EXPECT_EQ(value, 42);
}

}  // namespace
}  // namespace talvex
