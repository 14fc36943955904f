// Identification and bridge mode against the simulated TQ410, with stored
// frames from a test data set of their own.
#include <cstring>

#include "control/detection.h"
#include "control/identification.h"
#include "link/adapter_connection.h"
#include "link/frame_exchange.h"
#include "link/host_services.h"
#include "sim/tq410.h"
#include "tests/fixture.h"
#include "tests/test_release.h"

namespace {

using sim::kMs;
using sim::Nanos;
using sim::Tq410;

bool operator==(const DeviceIdentity& a, const DeviceIdentity& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

DeviceIdentity AsDeviceInfo(const sim::Tq410Identity& id) {
  return {id.codeH, id.codeB, id.codeS, id.idA, id.idB};
}

const DeviceIdentity kZero = {0, 0, 0, 0, 0};
const DeviceIdentity kStale = {1, 2, 3, 4, 5};

class IdentificationTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    savedDataSet = updateDataSet;
    updateDataSet = release.Bind();
    device.identity = {0x0A21, 0x0235, 0x0100, 12, 345};
    second.identity = {0x0A23, 0x0235, 0x0101, 678, 9};
    device.Attach(*world);
    ASSERT_EQ(OpenAdapter(0), 0);
    SetAdapterLatency();
    SetAdapterEventChar();
    ClearStatusLog();
  }
  void TearDown() override { updateDataSet = savedDataSet; }

  // Get-info frames the device received (answered or not).
  size_t GetInfoFramesSeen(const Tq410& d) const {
    size_t n = 0;
    for (const auto& f : d.frames) n += f.command == tq410::kGetInfo;
    return n;
  }
  std::vector<Nanos> BridgeFrameTimes(const Tq410& d) const {
    std::vector<Nanos> out;
    for (const auto& f : d.frames)
      if (f.command == tq410::kBridge) out.push_back(f.received);
    return out;
  }
  void ResetPulse() {
    AdapterSetResetLine(AdapterHandle);
    HostSleep(20);
    AdapterClearResetLine(AdapterHandle);
  }

  test_release::TestDataSet release;
  const UpdateDataSet* savedDataSet = nullptr;
  Tq410 device, second;
};

TEST_F(IdentificationTest, TestDataSetFramesHoldNoReplyLeadByte) {
  // The echo of a frame sent without waiting for it reaches the reply phase; a
  // byte 0xAC or 0xAD in it would start a reply that can never be valid.
  for (const auto& frame : {test_release::GetInfoFrame(), test_release::BridgeFrame()}) {
    ASSERT_EQ(frame.size(), 40u);
    for (uint8_t b : frame) EXPECT_TRUE(b != 0xAC && b != 0xAD);
  }
}

TEST_F(IdentificationTest, FirstAttemptAnswersWithoutAProbe) {
  DeviceInfo = kStale;
  EXPECT_EQ(ReadDeviceInfo(), 0);
  EXPECT_TRUE(DeviceInfo == AsDeviceInfo(device.identity));
  EXPECT_EQ(skipEcho, 0);
  EXPECT_EQ(device.counters.probesHeard, 0u);
  EXPECT_EQ(GetInfoFramesSeen(device), 1u);
  EXPECT_EQ(txLength, 40u);
  EXPECT_EQ(std::memcmp(TransmitFrame, release.getInfoEntry.data() + 2, 40), 0);
  EXPECT_EQ(StatusLines(), std::vector<std::string>(kStatusLines));
}

TEST_F(IdentificationTest, LineWithoutEchoIsLearnedAtTheSecondAttempt) {
  world->echo = false;
  EXPECT_EQ(ReadDeviceInfo(), 0);
  EXPECT_TRUE(DeviceInfo == AsDeviceInfo(device.identity));
  EXPECT_EQ(skipEcho, 1);
  EXPECT_EQ(device.counters.probesHeard, 1u);
  EXPECT_EQ(GetInfoFramesSeen(device), 2u);

  // The setting governs the exchanges that follow: without it the bridge
  // frame's exchanges would all wait for an echo that never comes.
  device.SetBehind(&second);
  EXPECT_EQ(EnterBridgeMode(), 0);
  EXPECT_EQ(BridgeFrameTimes(device).size(), 1u);

  // The next read starts again by waiting for the echo.
  EXPECT_EQ(ReadDeviceInfo(), 0);
  EXPECT_EQ(skipEcho, 1);
  EXPECT_EQ(GetInfoFramesSeen(second), 2u);
  EXPECT_TRUE(DeviceInfo == AsDeviceInfo(second.identity));
}

TEST_F(IdentificationTest, ReplyWithAnotherCodeIsAFailureFollowedByAProbe) {
  device.RefuseKey(tq410::kGetInfoKey, 1, '2');
  EXPECT_EQ(ReadDeviceInfo(), 0);
  EXPECT_EQ(skipEcho, 1);  // the second attempt, not waiting for the echo
  EXPECT_EQ(device.counters.probesHeard, 1u);
  ASSERT_EQ(device.frames.size(), 2u);
  EXPECT_EQ(device.frames[0].replyCode, '2');
  EXPECT_TRUE(DeviceInfo == AsDeviceInfo(device.identity));
}

// Each case first reads the identity successfully, so ReceiveBuffer holds a
// full reply, then reads again with the device as the case says.
TEST_F(IdentificationTest, AttemptsAndTheirOutcome) {
  struct Case {
    const char* what;
    int refusals;        // get-info frames left unanswered, or answered with refuseCode
    uint8_t refuseCode;
    size_t payload;      // get-info payload length the device sends
    bool unplugged;
    int result;
    int skip;
    uint64_t probes;
  } cases[] = {
      {"answered at the fifth attempt", 4, 0, 17, false, 0, 0, 4},
      {"five silent attempts", 5, 0, 17, false, 7, 1, 5},
      {"five R2 replies", 5, '2', 17, false, 7, 1, 5},
      {"no device", 0, 0, 17, true, 7, 1, 0},
      {"payload one byte short", 0, 0, 16, false, 7, 1, 5},
      {"payload only the reply code", 0, 0, 2, false, 7, 1, 5},
      {"payload longer than needed", 0, 0, 30, false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    world = &sim::ResetSimulation();
    ResetLogicState();
    device = Tq410();
    device.identity = {0x0A21, 0x0235, 0x0100, 12, 345};
    device.Attach(*world);
    ASSERT_EQ(OpenAdapter(0), 0);
    SetAdapterLatency();
    SetAdapterEventChar();
    ASSERT_EQ(ReadDeviceInfo(), 0);
    ClearStatusLog();
    const uint64_t probesBefore = device.counters.probesHeard;

    device.identity = {0x0B00, 0x0300, 0x0200, 1, 1};
    device.infoPayloadLength = c.payload;
    if (c.refusals > 0) device.RefuseKey(tq410::kGetInfoKey, c.refusals, c.refuseCode);
    if (c.unplugged) device.Unplug(*world, world->Now());

    EXPECT_EQ(ReadDeviceInfo(), c.result);
    EXPECT_EQ(skipEcho, c.skip);
    EXPECT_EQ(device.counters.probesHeard - probesBefore, c.probes);
    if (c.result == 0) {
      EXPECT_TRUE(DeviceInfo == AsDeviceInfo(device.identity));
      EXPECT_EQ(StatusLines()[0], "");
    } else {
      EXPECT_TRUE(DeviceInfo == kZero);
      EXPECT_EQ(StatusLines()[0], "Error_GetDeviceInfo !!!");
      EXPECT_EQ(std::memcmp(TransmitFrame, probeFrame, 5), 0);
    }
  }
}

TEST_F(IdentificationTest, FiveFailuresTakeTheirWindowsAndProbes) {
  device.RefuseKey(tq410::kGetInfoKey, 5);
  const double start = NowMs();
  EXPECT_EQ(ReadDeviceInfo(), 7);
  // Three attempts see their echo (about 15 ms) and wait 200 ms for the reply,
  // two wait 200 ms without echo; each is followed by a 20 ms probe.
  const double took = NowMs() - start;
  EXPECT_GT(took, 5 * 200 + 5 * 20);
  EXPECT_LT(took, 5 * 200 + 5 * 20 + 3 * 20 + 5 * 3);
}

TEST_F(IdentificationTest, IdentityLine) {
  struct Case {
    DeviceIdentity info;
    const char* line;  // null: no line
  } cases[] = {
      {{0x0A21, 0x0235, 0x013F, 12, 345}, "ID (00012:00345) H:0A21 B:0235 S:013F"},
      {{0xFFFF, 0xFFFF, 0xFFFF, 65535, 65535}, "ID (65535:65535) H:FFFF B:FFFF S:FFFF"},
      {{0x1, 0x0, 0xABC, 0, 7}, "ID (00000:00007) H:0001 B:0000 S:0ABC"},
      {{0, 0x0235, 0x013F, 12, 345}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line ? c.line : "codeH 0");
    ClearStatusLog();
    DeviceInfo = c.info;
    ShowDeviceIdentity();
    EXPECT_EQ(StatusLines()[0], c.line ? c.line : "");
    EXPECT_EQ(statusLog.lineIndex, c.line ? 1 : 0);
  }
}

TEST_F(IdentificationTest, DeviceWithCodeHZeroIsReadButNotShown) {
  device.identity = {0, 0x0235, 0x0100, 12, 345};
  EXPECT_EQ(ReadDeviceInfo(), 0);
  EXPECT_TRUE(DeviceInfo == AsDeviceInfo(device.identity));
  ShowDeviceIdentity();
  EXPECT_EQ(StatusLines(), std::vector<std::string>(kStatusLines));
}

TEST_F(IdentificationTest, BridgeAcceptedAtTheThirdExchange) {
  device.SetBehind(&second);
  device.RefuseKey(tq410::kBridgeKey, 2);
  ASSERT_EQ(ReadDeviceInfo(), 0);
  EXPECT_EQ(EnterBridgeMode(), 0);
  EXPECT_TRUE(device.relaying);
  // Three exchanges back to back: each frame follows the last one's 200 ms
  // reply window (after its echo), with no pause between.
  const auto times = BridgeFrameTimes(device);
  ASSERT_EQ(times.size(), 3u);
  for (int k = 1; k < 3; ++k) {
    EXPECT_GT(times[k] - times[k - 1], 200 * kMs);
    EXPECT_LT(times[k] - times[k - 1], 240 * kMs);
  }
  EXPECT_EQ(txLength, 40u);
  EXPECT_EQ(std::memcmp(TransmitFrame, release.bridgeEntry.data() + 2, 40), 0);
}

TEST_F(IdentificationTest, AnyValidReplyToTheBridgeFrameIsAcceptance) {
  device.RefuseKey(tq410::kBridgeKey, 1, '7');  // a lone device made to answer R7
  EXPECT_EQ(EnterBridgeMode(), 0);
  EXPECT_EQ(BridgeFrameTimes(device).size(), 1u);
}

TEST_F(IdentificationTest, LoneDeviceRefusesBridgeModeQuietly) {
  ASSERT_EQ(ReadDeviceInfo(), 0);
  EXPECT_EQ(EnterBridgeMode(), 13);
  EXPECT_EQ(BridgeFrameTimes(device).size(), 3u);
  EXPECT_EQ(StatusLines(), std::vector<std::string>(kStatusLines));
}

// The bridge path's order: detection and identity of the device behind, then
// the reset pulse, 200 ms, and the device at the adapter answers again.
TEST_F(IdentificationTest, DeviceBehindTheBridgeAnswersUntilTheResetPulse) {
  device.SetBehind(&second);
  ASSERT_EQ(ReadDeviceInfo(), 0);
  EXPECT_TRUE(DeviceInfo == AsDeviceInfo(device.identity));
  ASSERT_EQ(EnterBridgeMode(), 0);

  EXPECT_EQ(DetectDevice(1), 0);
  EXPECT_EQ(second.counters.probesAnswered, 4u);
  EXPECT_EQ(device.counters.probesHeard, 0u);
  ASSERT_EQ(ReadDeviceInfo(), 0);
  EXPECT_TRUE(DeviceInfo == AsDeviceInfo(second.identity));
  EXPECT_EQ(skipEcho, 0);
  const uint64_t secondFrames = second.counters.framesReceived;

  ResetPulse();
  HostSleep(200);
  ASSERT_EQ(ReadDeviceInfo(), 0);
  EXPECT_TRUE(DeviceInfo == AsDeviceInfo(device.identity));
  EXPECT_FALSE(device.relaying);
  EXPECT_EQ(second.counters.framesReceived, secondFrames);
}

}  // namespace
