// The emulator's data port, driven by a raw client: live and buffered runs, trigger modes,
// chunks, sync-in frames, the odd-split and other faults, and "~01Z".
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/DataStreamer.h"
#include "emulator/HighSpeedModule.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace nivex;
using emu::Model;
using emu::StreamSettings;
using test::NowMs;

// The module on one side, a raw host with its command and data connection on the other.
struct Host {
  std::unique_ptr<emu::Emulator> e;
  emu::DataStreamer* s = nullptr;
  int cmd = -1, data = -1;
  uint64_t acks = 0, ackSum = 0;
  std::vector<size_t> receives;

  explicit Host(Model m, unsigned firmware = 0) {
    e = test::StartEmulator(m, [&](emu::Options& o) { o.firmwareVersion = firmware; });
    if (!e) return;
    cmd = test::ConnectTo(e->options().ip, 9999);
    data = test::ConnectTo(e->options().ip, 10010);
    s = emu::StreamerOf(*e);
    for (int ch = 0; ch < 8; ++ch) e->SetSignal(ch, 1.5 - 0.7 * ch);
  }
  ~Host() {
    if (cmd >= 0) close(cmd);
    if (data >= 0) close(data);
  }
  std::string Cmd(const std::string& c) { return test::Exchange(cmd, c); }
  // Receives up to `bytes` within ms; acknowledges every receive with the whole units
  // completed in it (a partial unit is carried to the next).
  std::string Receive(size_t bytes, int ms, unsigned unit) {
    std::string got;
    const long long end = NowMs() + ms;
    char buf[65536];
    while (got.size() < bytes && NowMs() < end) {
      pollfd p{data, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(end - NowMs())) <= 0) break;
      const ssize_t r = recv(data, buf, std::min(sizeof(buf), bytes - got.size()), 0);
      if (r <= 0) break;
      const uint32_t ack = static_cast<uint32_t>((got.size() + r) / unit - got.size() / unit);
      got.append(buf, static_cast<size_t>(r));
      receives.push_back(got.size());
      EXPECT_EQ(send(data, &ack, 4, MSG_NOSIGNAL), 4);
      ++acks;
      ackSum += ack;
    }
    return got;
  }
  // The codes of the one-shot read, as the stream carries them (little-endian).
  std::vector<std::string> Codes(Model m) {
    const bool k10 = m == Model::RX5K10;
    const std::string r = Cmd(m == Model::RXBN500 ? "#01R" : "#01H0");
    std::vector<std::string> out;
    const size_t w = k10 ? 4 : 8;
    for (size_t at = 1; at + w <= r.size(); at += w) {
      uint32_t v = static_cast<uint32_t>(std::strtoul(r.substr(at, w).c_str(), nullptr, 16));
      std::string le;
      for (size_t i = 0; i < (k10 ? 2u : 4u); ++i, v >>= 8) le += static_cast<char>(v & 0xFF);
      out.push_back(le);
    }
    return out;
  }
  std::string Expected(Model m, int channels, size_t from, size_t count) {
    const std::vector<std::string> codes = Codes(m);
    std::string out;
    for (size_t k = from; k < from + count; ++k) out += codes[k % channels];
    return out;
  }
  void Setup(Model m, int c, int t, const std::string& rate, unsigned n) {
    ASSERT_EQ(Cmd(m == Model::RXBN500 ? emu::Format("~01PC%dT%dM0", c, t)
                                      : emu::Format("~01PG0C%dT%dM0", c, t)),
              "!01");
    ASSERT_EQ(Cmd("~01R" + rate), "!01");
    ASSERT_EQ(Cmd(emu::Format("~01T%010u", n)), "!01");
  }
  // The module took every acknowledgement the host sent.
  void ExpectAcks(uint64_t sum) {
    EXPECT_TRUE(test::WaitUntil([&] { return s->Counters().ackCount == acks; }, 2000));
    EXPECT_EQ(s->Counters().ackSum, sum);
    EXPECT_EQ(ackSum, sum);
  }
};

unsigned Size(Model m) { return m == Model::RX5K10 ? 2 : 4; }

TEST(DataStreamer, LiveRunsSendExactlyTheTargetOfOneShotCodesInRealTime) {
  struct Case {
    Model m;
    std::string rate;
    double hz;
  } cases[] = {{Model::RX5K10, "003000", 3000},
               {Model::RX5K30, "02024096", 1000},
               {Model::RXBN500, "02024096", 1000}};
  for (const Case& c : cases) {
    for (const bool split : {false, true}) {
      SCOPED_TRACE(std::string(emu::ModelText(c.m)) + (split ? " split" : ""));
      Host h(c.m);
      ASSERT_TRUE(h.s);
      const unsigned n = split ? 60 : 300;
      h.Setup(c.m, 3, 0, c.rate, n);
      StreamSettings st;
      st.splitPauseMs = split ? 1 : -1;
      h.s->SetSettings(st);
      const long long t0 = NowMs();
      ASSERT_EQ(h.Cmd("~01S"), "!01");
      const std::string got = h.Receive(n * Size(c.m), 5000, Size(c.m));
      EXPECT_GE(NowMs() - t0, 0.8 * 1000 * n / (c.hz * 3));
      EXPECT_EQ(got, h.Expected(c.m, 3, 0, n));
      EXPECT_EQ(test::RecvSome(h.data, 150), "");  // nothing past the target
      EXPECT_EQ(h.s->Sent(), got);
      EXPECT_EQ(h.s->Counters().samplesSent, n);
      h.ExpectAcks(n);
      EXPECT_EQ(h.Cmd("~01N"), "!0101" + std::to_string(n));
      bool inside = false;
      for (size_t r : h.receives) inside = inside || r % Size(c.m) != 0;
      EXPECT_EQ(inside, split);
    }
  }
  // A 400 Hz sine at 4000 S/s: every sample is the signal at its own instant, index / rate.
  Host h(Model::RX5K10);
  ASSERT_TRUE(h.s);
  emu::SignalShape sine;
  sine.kind = emu::SignalShape::Sine;
  sine.amplitude = 2.0;
  sine.hz = 400;
  h.e->SetSignalShape(0, sine);
  h.Setup(Model::RX5K10, 1, 0, "004000", 400);
  ASSERT_EQ(h.Cmd("~01S"), "!01");
  const std::string got = h.Receive(800, 5000, 2);
  ASSERT_EQ(got.size(), 800u);
  int off = 0;  // samples more than one code from the closed form (gain code 0: 6553.6 codes/V)
  for (size_t k = 0; k < 400; ++k) {
    const int16_t code = static_cast<int16_t>(static_cast<uint8_t>(got[2 * k]) |
                                              static_cast<uint8_t>(got[2 * k + 1]) << 8);
    off += std::abs(code - 2.0 * 6553.6 * std::sin(2 * M_PI * 400 * k / 4000.0)) > 1.0;
  }
  EXPECT_EQ(off, 0);
}

TEST(DataStreamer, BufferedRunsCountUpAndSendOnTransmit) {
  struct Case {
    Model m;
    unsigned firmware;
    int channels, t;
    std::string rate;
    std::string zero;  // "~01N" before the start
  } cases[] = {{Model::RX5K10, 0x307, 8, 0, "031000", "!010"},
               {Model::RX5K10, 0x308, 1, 3, "001000", "!01000"},  // mode 3: trigger bit
               {Model::RX5K30, 0, 4, 1, "02020032", "!01000"},
               {Model::RXBN500, 0, 2, 0, "02020032", "!01000"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(emu::ModelText(c.m));
    Host h(c.m, c.firmware);
    const unsigned n = 200 * c.channels;
    h.Setup(c.m, c.channels, c.t, c.rate, n);
    EXPECT_EQ(h.Cmd("~01N"), c.zero);
    ASSERT_EQ(h.Cmd("~01S"), "!01");
    EXPECT_EQ(test::RecvSome(h.data, 50), "");
    if (c.t == 3) {
      EXPECT_EQ(h.Cmd("~01N"), "!01000");  // nothing acquired before the trigger
      h.s->Trigger();
    }
    const std::string done = (c.firmware == 0x307 ? "!01" : "!0101") + std::to_string(n);
    EXPECT_TRUE(test::WaitUntil([&] { return h.Cmd("~01N") == done; }, 3000));
    EXPECT_TRUE(h.s->Counters().buffered);
    EXPECT_EQ(test::RecvSome(h.data, 20), "");
    ASSERT_EQ(h.Cmd("~01E"), "!01");
    EXPECT_EQ(h.Receive(n * Size(c.m), 3000, Size(c.m)), h.Expected(c.m, c.channels, 0, n));
    h.ExpectAcks(n);
  }
}

TEST(DataStreamer, AnalogTriggerEndsAtTriggerIndexPlusPost) {
  Host h(Model::RX5K30);
  h.Setup(Model::RX5K30, 2, 2, "02024096", 300);
  ASSERT_EQ(h.Cmd("~01XM0L00000100R00000200"), "!01");
  ASSERT_EQ(h.Cmd("~01S"), "!01");
  std::this_thread::sleep_for(std::chrono::milliseconds(80));  // 160 samples acquired
  EXPECT_EQ(h.Cmd("~01N"), "!0100100");  // the module keeps at most `pre` of them
  h.s->Trigger();
  EXPECT_EQ(h.Cmd("~01N").substr(0, 5), "!0101");
  ASSERT_EQ(h.Cmd("~01XN"), "!01100");
  ASSERT_EQ(h.Cmd("~01E"), "!01");
  EXPECT_EQ(h.Receive(300 * 4, 3000, 4), h.Expected(Model::RX5K30, 2, 0, 300));
  EXPECT_EQ(test::RecvSome(h.data, 150), "");
  h.ExpectAcks(300);
}

TEST(DataStreamer, ChunkModeSendsWholeChunksAndCountsThem) {
  Host h(Model::RX5K10);
  h.Setup(Model::RX5K10, 1, 8, "010000", 5);
  StreamSettings st;
  st.chunkSamples = 100;
  h.s->SetSettings(st);
  ASSERT_EQ(h.Cmd("~01S"), "!01");
  EXPECT_EQ(h.Receive(1000, 3000, 2), h.Expected(Model::RX5K10, 1, 0, 500));
  for (size_t r : h.receives) EXPECT_EQ(r % 200, 0u);
  EXPECT_EQ(test::RecvSome(h.data, 100), "");
  EXPECT_EQ(h.Cmd("~01N"), "!01015");
}

TEST(DataStreamer, SyncInFramesCarryIndexCodesAndCounters) {
  Host h(Model::RX5K10);
  h.Setup(Model::RX5K10, 8, 0, "001000", 20);
  ASSERT_EQ(h.Cmd("~01SIH1O01T0200080401"), "!01");  // header, 8 analog, one 32-bit item
  ASSERT_EQ(h.Cmd("~01S"), "!01");
  const std::string got = h.Receive(20 * 24, 3000, 2);
  ASSERT_EQ(got.size(), 20u * 24);
  const std::string codes = h.Expected(Model::RX5K10, 8, 0, 8);
  for (uint32_t f = 0; f < 20; ++f) {
    const std::string index(reinterpret_cast<const char*>(&f), 4);
    EXPECT_EQ(got.substr(f * 24, 24), index + codes + index) << f;
  }
  EXPECT_EQ(h.s->Counters().framesSent, 20u);
  h.ExpectAcks(240);
}

TEST(DataStreamer, FaultsShapeTheStream) {
  enum Kind { Silence, Close, Extra, Fast };
  for (const Kind k : {Silence, Close, Extra, Fast}) {
    SCOPED_TRACE(k);
    Host h(Model::RX5K10);
    h.Setup(Model::RX5K10, 1, 0, k == Fast ? "000100" : "010000", 1000);
    StreamSettings st;
    if (k == Silence) st.silenceAfterBytes = 301;
    if (k == Close) st.closeAfterBytes = 301;
    if (k == Extra) st.extraSamples = 50;
    st.fast = k == Fast;
    h.s->SetSettings(st);
    const long long t0 = NowMs();
    ASSERT_EQ(h.Cmd("~01S"), "!01");
    const size_t bytes = k == Extra ? 2100 : k == Fast ? 2000 : 301;
    const std::string got = h.Receive(bytes, 3000, 2);
    EXPECT_EQ(got, h.Expected(Model::RX5K10, 1, 0, 1050).substr(0, bytes));
    if (k == Close) {
      EXPECT_TRUE(test::PeerClosed(h.data, 1000));
    } else {
      EXPECT_EQ(test::RecvSome(h.data, 150), "");
    }
    if (k == Fast) {
      EXPECT_LT(NowMs() - t0, 2000);  // paced, 1000 samples take 10 s
    }
  }
}

TEST(DataStreamer, StopEndsTheStreamBeforeItsReply) {
  Host h(Model::RX5K30);
  h.Setup(Model::RX5K30, 4, 0, "02020400", 0);
  ASSERT_EQ(h.Cmd("~01S"), "!01");
  std::string got = h.Receive(1u << 30, 150, 4);
  EXPECT_GT(got.size(), 4000u);
  ASSERT_EQ(h.Cmd("~01Z"), "!01");
  got += h.Receive(1u << 30, 150, 4);  // what was on its way
  EXPECT_EQ(test::RecvSome(h.data, 200), "");
  EXPECT_EQ(h.s->Counters().bytesSent, got.size());
  EXPECT_EQ(got, h.Expected(Model::RX5K30, 4, 0, got.size() / 4 + 1).substr(0, got.size()));
  EXPECT_EQ(h.Cmd("~01N"), "!01000");
  EXPECT_TRUE(std::regex_match(h.Cmd("~01SST"),
                               std::regex(R"(!01 \d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3})")));
}

}  // namespace
