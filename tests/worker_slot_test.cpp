// The worker of a device: one at a time, a stop that ends every wait at once and joins, and the
// outcomes of a readiness wait.
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>

#include "framework/WorkerSlot.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::WaitResult;
using nivex::WorkerKind;
using nivex::WorkerSlot;
using nivex::test::NowMs;
using nivex::test::WaitUntil;

TEST(WorkerSlot, StopEndsASleepOrAPollAtOnceAndJoins) {
  int fd[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
  const std::function<bool(WorkerSlot&)> waits[] = {
      [](WorkerSlot& w) { return !w.SleepMs(60000); },
      [&](WorkerSlot& w) { return w.WaitReadable(fd[0], 60000) == WaitResult::Stopped; },
  };
  for (const auto& wait : waits) {
    WorkerSlot slot;
    std::atomic<bool> inside{false}, byStop{false};
    ASSERT_TRUE(slot.Start(WorkerKind::Scan, [&] {
      inside = true;
      byStop = wait(slot);
    }));
    ASSERT_TRUE(WaitUntil([&] { return inside.load(); }, 5000));
    const long long t0 = NowMs();
    bool inTime = false;
    EXPECT_EQ(slot.Stop(std::chrono::seconds(10), &inTime), WorkerKind::Scan);
    EXPECT_LT(NowMs() - t0, 1000);
    EXPECT_TRUE(inTime && byStop);
    EXPECT_FALSE(slot.Busy());
    EXPECT_EQ(slot.Stop(std::chrono::seconds(1)), WorkerKind::None);
  }
  close(fd[0]);
  close(fd[1]);
}

TEST(WorkerSlot, OneWorkerAtATimeUntilStopped) {
  WorkerSlot slot;
  std::atomic<bool> release{false};
  ASSERT_TRUE(slot.Start(WorkerKind::Scan, [&] {
    while (!release) slot.SleepMs(1);
    slot.EndRun();  // ends by itself, as at its target
  }));
  EXPECT_FALSE(slot.Start(WorkerKind::Logger, [] {}));
  release = true;
  ASSERT_TRUE(WaitUntil([&] { return slot.Finished(); }, 5000));
  EXPECT_FALSE(slot.Running());
  EXPECT_TRUE(slot.Busy());  // an ended scan stays until its stop
  EXPECT_FALSE(slot.Start(WorkerKind::Scan, [] {}));
  EXPECT_EQ(slot.Stop(std::chrono::seconds(1)), WorkerKind::Scan);

  // A download frees the slot when it ends: the next start joins it and goes on.
  ASSERT_TRUE(slot.Start(WorkerKind::Download, [] {}));
  ASSERT_TRUE(WaitUntil([&] { return !slot.Busy(); }, 5000));
  ASSERT_TRUE(slot.Start(WorkerKind::Logger, [] { usleep(200000); }));
  EXPECT_EQ(slot.Kind(), WorkerKind::Logger);
  // Held past the bound by a step that does not watch the wake-up: still joined, not abandoned.
  bool inTime = true;
  EXPECT_EQ(slot.Stop(std::chrono::milliseconds(20), &inTime), WorkerKind::Logger);
  EXPECT_FALSE(inTime);
  EXPECT_TRUE(slot.Finished());
}

TEST(WorkerSlot, ReadinessWaitTimesOutAndFailsOnAClosedDescriptor) {
  WorkerSlot slot;  // the waits also serve a thread without a worker
  int fd[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
  const long long t0 = NowMs();
  EXPECT_EQ(slot.WaitReadable(fd[0], 30), WaitResult::TimedOut);
  EXPECT_GE(NowMs() - t0, 30);
  close(fd[0]);
  close(fd[1]);
  EXPECT_EQ(slot.WaitReadable(fd[0], 1000), WaitResult::Failed);  // no spin on it
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
