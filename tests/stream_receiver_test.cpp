// The stream receiver over a socket pair: a module side that sends its stream in pieces ending
// at odd byte offsets, one piece per receive (it waits for each acknowledgement), so every
// receive, acknowledgement and request is known in advance.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <thread>
#include <vector>

#include "framework/HostRing.h"
#include "framework/StreamReceiver.h"
#include "framework/WorkerSlot.h"
#include "tests/common/TestSupport.h"

namespace {

using nivex::HostRing;
using nivex::RingSink;
using nivex::StreamReceiver;
using nivex::WaitResult;
using nivex::WorkerKind;
using nivex::WorkerSlot;
using Outcome = StreamReceiver::Outcome;

struct ByteSink : nivex::SampleSink {
  std::vector<uint8_t> bytes;
  size_t misaligned = 0;
  unsigned unit = 1;
  void Take(const uint8_t* data, size_t n) override {
    bytes.insert(bytes.end(), data, data + n);
    misaligned += n % unit != 0;  // a chunk stream hands raw bytes: its unit is 1
  }
};

// The module side: sends stream in pieces of the given sizes (cycled), each after the
// acknowledgement of the one before. Returns the bytes sent; acks gets the acknowledgements.
size_t SendLockstep(int fd, const std::vector<uint8_t>& stream, const std::vector<size_t>& pieces,
                    std::vector<uint32_t>& acks) {
  size_t sent = 0;
  uint8_t a[4];
  for (size_t k = 0; sent < stream.size(); ++k) {
    const size_t n = std::min(pieces[k % pieces.size()], stream.size() - sent);
    if (send(fd, stream.data() + sent, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) break;
    sent += n;
    if (recv(fd, a, 4, MSG_WAITALL) != 4) break;  // the host stopped taking
    acks.push_back(a[0] | a[1] << 8 | a[2] << 16 | static_cast<uint32_t>(a[3]) << 24);
  }
  return sent;
}

TEST(StreamReceiver, WholeSamplesInOrderAcksSumToSamplesAndTheLastRequestIsExact) {
  const struct {
    unsigned unit;
    uint32_t target;  // the module sends 7 samples more
    bool chunk;
  } cases[] = {{2, 1000, false}, {4, 700, false}, {2, 3000, false}, {4, 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "unit " << c.unit << " target " << c.target);
    int fd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    const uint32_t samples = c.target ? c.target + 7 : 500;
    std::vector<uint8_t> stream(samples * c.unit);
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i * 7 + i / 251);
    // A lone byte first: a receive of one byte is carried, not an error. With 3000 samples the
    // second piece leaves 1459 missing, and the third must be taken only up to the target.
    std::vector<size_t> pieces = {1, 7, 3, 5, 2, 9, 6, 11};
    if (c.target > 2000) pieces = {3080, 2, 29200};

    WorkerSlot worker;
    ByteSink sink;
    sink.unit = c.chunk ? 1 : c.unit;
    StreamReceiver rx(worker);
    StreamReceiver::Setup setup;
    setup.unitBytes = c.unit;
    setup.target = c.target;
    setup.chunkStream = c.chunk;
    rx.Begin(fd[0], setup, &sink);
    std::vector<Outcome> ends;
    ASSERT_TRUE(worker.Start(WorkerKind::Scan, [&] {
      while (worker.Running()) {
        if (rx.Wait(5000) != WaitResult::Ready) continue;
        const Outcome o = rx.Receive();
        if (o != Outcome::Data) ends.push_back(o), worker.EndRun();
      }
    }));
    std::vector<uint32_t> acks;
    size_t sent = 0;
    std::thread module([&] {
      sent = SendLockstep(fd[1], stream, pieces, acks);
      if (!c.target) shutdown(fd[1], SHUT_WR);
    });
    EXPECT_TRUE(nivex::test::WaitUntil([&] { return worker.Finished(); }, 5000));
    worker.Stop(std::chrono::seconds(1));
    shutdown(fd[0], SHUT_WR);  // ends a module waiting for an acknowledgement
    module.join();

    const uint32_t kept = c.target ? c.target : samples;
    EXPECT_EQ(std::accumulate(acks.begin(), acks.end(), uint64_t{0}), kept);
    EXPECT_EQ(rx.Received(), c.chunk ? acks.size() : kept);
    EXPECT_EQ(sink.misaligned, 0u);
    EXPECT_EQ(sink.bytes.size(), kept * c.unit);
    EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), stream.begin()));
    EXPECT_EQ(ends, std::vector<Outcome>{c.target ? Outcome::TargetDone : Outcome::Closed});
    // Nothing past the target was asked for: what was sent beyond it still waits on the socket.
    int left = -1;
    ioctl(fd[0], FIONREAD, &left);
    EXPECT_EQ(static_cast<size_t>(left), sent - kept * c.unit);
    EXPECT_EQ(rx.Drain(fd[0], std::chrono::milliseconds(200)), static_cast<size_t>(left));
    close(fd[0]);
    close(fd[1]);
  }
}

TEST(StreamReceiver, RingSinkPacesItsWritesAndReportsDrops) {
  WorkerSlot worker;
  HostRing ring;
  ASSERT_TRUE(ring.Allocate(8, 2, 2));
  int drops = 0;
  RingSink sink(ring, worker, [&] { ++drops; });
  sink.SetPace(std::chrono::milliseconds(5));
  const uint8_t four[4] = {1, 2, 3, 4};
  const long long t0 = nivex::test::NowMs();
  for (int i = 0; i < 4; ++i) sink.Take(four, 4);
  EXPECT_GE(nivex::test::NowMs() - t0, 20);
  EXPECT_EQ(drops, 2);
  EXPECT_EQ(ring.Status(), nivex::kRingData | nivex::kRingOverflow);
}

TEST(StreamReceiver, ARingSinkThatLeavesThePauseToItsLoopTellsWhenItsTurnComes) {
  WorkerSlot worker;
  HostRing ring;
  ASSERT_TRUE(ring.Allocate(64, 2, 2));
  RingSink sink(ring, worker, nullptr, true);
  sink.SetPace(std::chrono::milliseconds(40));
  const uint8_t two[2] = {1, 2};
  const auto t0 = WorkerSlot::Clock::now();
  sink.Take(two, 2);
  sink.Take(two, 2);  // no pause in between: the loop keeps the pace
  EXPECT_LT(WorkerSlot::Clock::now() - t0, std::chrono::milliseconds(30));
  EXPECT_GE(sink.NextTake() - t0, std::chrono::milliseconds(80));
  EXPECT_EQ(ring.Samples(), 2u);
}

TEST(StreamReceiver, ATakeOfWhatWaitsNeverWaitsForMore) {
  int fd[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);  // blocking: a receive would wait
  WorkerSlot worker;
  ByteSink sink;
  StreamReceiver rx(worker);
  rx.Begin(fd[0], StreamReceiver::Setup{}, &sink);
  EXPECT_EQ(rx.ReceiveWaiting(), Outcome::Again);
  const uint8_t five[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(send(fd[1], five, 5, MSG_NOSIGNAL), 5);
  EXPECT_EQ(rx.ReceiveWaiting(), Outcome::Data);
  EXPECT_EQ(rx.Received(), 2u);
  EXPECT_EQ(sink.bytes, std::vector<uint8_t>(five, five + 4));
  shutdown(fd[1], SHUT_WR);
  EXPECT_EQ(rx.ReceiveWaiting(), Outcome::Closed);
  close(fd[0]);
  close(fd[1]);
}

TEST(StreamReceiver, RingSinkPacingDoesNotDriftWithTheTimeBetweenWrites) {
  // Six writes 30 ms of "receiving" apart at a 40 ms pace: the pauses end 40 ms after each
  // other, so the run lasts six paces (240 ms), not six paces plus the receives (420 ms).
  WorkerSlot worker;
  HostRing ring;
  ASSERT_TRUE(ring.Allocate(64, 2, 2));
  RingSink sink(ring, worker);
  sink.SetPace(std::chrono::milliseconds(40));
  const uint8_t two[2] = {1, 2};
  const long long t0 = nivex::test::NowMs();
  for (int i = 0; i < 6; ++i) {
    sink.Take(two, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  const long long took = nivex::test::NowMs() - t0;
  EXPECT_GE(took, 240);
  EXPECT_LT(took, 380);
}

}  // namespace

// A drain that found stale bytes takes what comes a moment later too; an empty socket costs
// no wait.
TEST(StreamReceiver, DrainWaitsForStaleBytesStillOnTheirWay) {
  WorkerSlot worker;
  StreamReceiver rx(worker);
  int fd[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
  long long t0 = nivex::test::NowMs();
  EXPECT_EQ(rx.Drain(fd[0], std::chrono::milliseconds(200)), 0u);
  EXPECT_LT(nivex::test::NowMs() - t0, 100);
  ASSERT_EQ(write(fd[1], "abcd", 4), 4);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    (void)!write(fd[1], "ef", 2);
  });
  EXPECT_EQ(rx.Drain(fd[0], std::chrono::milliseconds(200)), 6u);
  late.join();
  close(fd[0]);
  close(fd[1]);
}
