// The simulated FT232R behaves as the chip does: the logic's timing is only as
// true as this model.
#include <ostream>
#include <string>
#include <vector>

#include "link/adapter_ops.h"
#include "tests/fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::kMs;
using sim::Nanos;

struct Recorder : sim::LinePeer {
  std::vector<std::pair<Nanos, uint8_t>> heard;
  std::vector<std::pair<Nanos, bool>> resets;
  void OnByte(sim::World&, Nanos t, uint8_t b) override { heard.emplace_back(t, b); }
  void OnResetLine(sim::World&, Nanos t, bool asserted) override { resets.emplace_back(t, asserted); }
};

class Ft232rTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    world->peer = &peer;
    ASSERT_EQ(AdapterOpenByDescription("FT232R USB UART", kOpenByDescription, &handle), 0u);
    ASSERT_EQ(FT_SetBaudRate(handle, 38400), 0u);
    ASSERT_EQ(FT_SetDataCharacteristics(handle, 8, 0, 0), 0u);
  }
  uint32_t Queued() {
    uint32_t rx = 0, tx = 0, ev = 0;
    AdapterGetStatus(handle, &rx, &tx, &ev);
    return rx;
  }
  uint32_t Write(const Bytes& bytes) {
    uint32_t written = 0;
    return AdapterWrite(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
  }
  // Virtual time at which the host queue first holds at least n bytes, polling
  // every 0.1 ms.
  double MsUntilQueued(uint32_t n, double limitMs = 1000) {
    const double start = NowMs();
    while (Queued() < n && NowMs() - start < limitMs) {
      world->clock->WaitUntil(world->Now() + kMs / 10);
    }
    return NowMs() - start;
  }
  static constexpr double kByteMs = 10 * 1000.0 / 38400;
  Recorder peer;
  void* handle = nullptr;
};

TEST_F(Ft232rTest, WriteBlocksForAllButTheChipBuffer) {
  world->echo = false;
  const double start = NowMs();
  ASSERT_EQ(Write(Bytes(2078, 0x55)), 0u);
  EXPECT_NEAR(NowMs() - start, (2078 - 256) * kByteMs, 0.01);
  world->SleepMs(100);
  ASSERT_EQ(peer.heard.size(), 2078u);
  EXPECT_NEAR(peer.heard.back().first / double(kMs) - start, 2078 * kByteMs, 0.01);

  // A short write returns at once.
  const double again = NowMs();
  ASSERT_EQ(Write(Bytes(40, 0x55)), 0u);
  EXPECT_EQ(NowMs(), again);
}

TEST_F(Ft232rTest, EchoOfALongWriteEndsWithinSeventyMillisecondsOfItsReturn) {
  ASSERT_EQ(FT_SetLatencyTimer(handle, 4), 0u);
  ASSERT_EQ(Write(Bytes(2078, 0x55)), 0u);
  const double waited = MsUntilQueued(2078);
  EXPECT_GT(waited, 256 * kByteMs);
  EXPECT_LT(waited, 70 + 4);
}

struct FlushCase {
  const char* name;
  Bytes bytes;
  bool eventChar;
  uint8_t latency;
  double expectMs;  // after the last byte's arrival
};
void PrintTo(const FlushCase& c, std::ostream* os) { *os << c.name; }

class ChipFlushTest : public Ft232rTest, public ::testing::WithParamInterface<FlushCase> {};

TEST_P(ChipFlushTest, BytesReachTheHostWhenTheChipSendsThem) {
  const FlushCase& c = GetParam();
  ASSERT_EQ(FT_SetLatencyTimer(handle, c.latency), 0u);
  if (c.eventChar) {
    ASSERT_EQ(FT_SetChars(handle, 13, 1, 0, 0), 0u);
  }
  const Nanos start = world->Now();
  for (uint8_t b : c.bytes) world->InjectAtChip(start, b);
  const double waited = MsUntilQueued(static_cast<uint32_t>(c.bytes.size()));
  EXPECT_NEAR(waited, c.expectMs, 0.11) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChipFlushTest,
    ::testing::Values(FlushCase{"LatencyTimer", Bytes(5, 0x41), false, 4, 4},
                      FlushCase{"FactoryLatency", Bytes(5, 0x41), false, 16, 16},
                      FlushCase{"FullPacket", Bytes(62, 0x41), false, 16, 0},
                      FlushCase{"EventChar", Bytes{0x41, 0x0D}, true, 16, 0},
                      FlushCase{"EventCharFirstDoesNotFlush", Bytes{0x0D}, true, 16, 16},
                      FlushCase{"EventCharDisabled", Bytes{0x41, 0x0D}, false, 16, 16}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Ft232rTest, FarEndBytesTakeTheirLineTime) {
  ASSERT_EQ(FT_SetLatencyTimer(handle, 4), 0u);
  // The latency timer starts with the first byte into the empty chip buffer.
  world->SendToHost(world->Now(), Bytes(10, 0x41));
  EXPECT_NEAR(MsUntilQueued(10), kByteMs + 4, 0.11);
  // With a long timer, the 62nd byte makes a packet.
  ASSERT_EQ(FT_SetLatencyTimer(handle, 255), 0u);
  world->SendToHost(world->Now(), Bytes(62, 0x41));
  EXPECT_NEAR(MsUntilQueued(72), 62 * kByteMs, 0.11);
}

TEST_F(Ft232rTest, ResetLineLevelsAreRecordedAndHeard) {
  world->SleepMs(7);
  AdapterSetResetLine(handle);
  world->SleepMs(20);
  AdapterClearResetLine(handle);
  ASSERT_EQ(world->resetHistory.size(), 2u);
  EXPECT_EQ(world->resetHistory[0], std::make_pair(7 * kMs, true));
  EXPECT_EQ(world->resetHistory[1], std::make_pair(27 * kMs, false));
  EXPECT_EQ(peer.resets, world->resetHistory);
}

TEST_F(Ft232rTest, UnpluggedAdapterFailsEverythingAndDeliversNothing) {
  world->UnplugAt(world->Now() + 5 * kMs);
  world->SendToHost(world->Now() + 10 * kMs, Bytes(4, 0x41));
  world->SleepMs(50);
  uint32_t type = 0, id = 0, rx = 0, tx = 0, ev = 0, got = 0;
  char serial[260], text[260];
  uint8_t buffer[8];
  EXPECT_NE(AdapterGetDeviceInfo(handle, &type, &id, serial, text, nullptr), 0u);
  EXPECT_NE(Write(Bytes{1, 2, 3}), 0u);
  EXPECT_NE(AdapterGetStatus(handle, &rx, &tx, &ev), 0u);
  EXPECT_EQ(rx, 0u);
  EXPECT_NE(AdapterRead(handle, buffer, 1, &got), 0u);
  EXPECT_TRUE(peer.heard.empty());
  uint32_t count = 9;
  EXPECT_EQ(AdapterListDevices(&count), 0u);
  EXPECT_EQ(count, 0u);

  // Plugged in again, the old handle stays dead until a new open.
  world->Plug();
  EXPECT_NE(Write(Bytes{1}), 0u);
  void* fresh = nullptr;
  ASSERT_EQ(AdapterOpenByDescription("FT232R USB UART", kOpenByDescription, &fresh), 0u);
  EXPECT_EQ(AdapterGetDeviceInfo(fresh, &type, &id, serial, text, nullptr), 0u);
  EXPECT_EQ(std::string(text), "FT232R USB UART");
}

TEST_F(Ft232rTest, PulledOutDuringALongWriteFailsTheWrite) {
  world->UnplugAt(world->Now() + 100 * kMs);
  EXPECT_NE(Write(Bytes(2078, 0x55)), 0u);
}

TEST_F(Ft232rTest, SecondOpenAndStaleHandleAreRefused) {
  void* other = nullptr;
  EXPECT_NE(AdapterOpenByDescription("FT232R USB UART", kOpenByDescription, &other), 0u);
  ASSERT_EQ(AdapterClose(handle), 0u);
  EXPECT_NE(FT_SetBaudRate(handle, 38400), 0u);
  EXPECT_NE(AdapterClose(handle), 0u);
}

TEST_F(Ft232rTest, MismatchedRateGarblesTheLine) {
  ASSERT_EQ(FT_SetBaudRate(handle, 9600), 0u);
  world->echo = false;
  ASSERT_EQ(Write(Bytes{0x35, 0x3A}), 0u);
  world->SleepMs(10);
  ASSERT_EQ(peer.heard.size(), 2u);
  EXPECT_NE(peer.heard[0].second, 0x35);
  EXPECT_NEAR(peer.heard[1].first / double(kMs), 2 * 10 * 1000.0 / 9600, 0.01);
}

}  // namespace
