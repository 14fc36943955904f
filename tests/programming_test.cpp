// Image selection and programming against the simulated TQ410, with small
// releases of the tests' own.
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "control/identification.h"
#include "link/adapter_connection.h"
#include "link/frame_exchange.h"
#include "sim/tq410.h"
#include "tests/fixture.h"
#include "tests/log_recorder.h"
#include "tests/test_release.h"
#include "update/programming.h"

namespace {

using Bytes = std::vector<uint8_t>;
using test_release::BuildImage;
using test_release::Entry;
using test_release::TestDataSet;
using test_release::TestImage;
using Lines = std::vector<std::string>;

constexpr uint16_t kH = 0x0A21, kB = 0x0235, kS = 0x013F;

class ProgrammingTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    device.identity = {kH, kB, 0x0100, 12, 345};
    device.Attach(*world);
    updateDataSet = &data.set;
    ASSERT_EQ(OpenAdapter(0), 0);
    SetAdapterLatency();
    SetAdapterEventChar();
    ClearStatusLog();
    log.Start();
  }
  void TearDown() override { updateDataSet = &carriedDataSet; }

  void Identify(uint32_t level) {
    DeviceInfo = {kH, kB, level, 12, 345};
    device.identity.codeS = static_cast<uint16_t>(level);
  }
  void SetSlot(int slot, TestImage image, const char* name = "IMG") {
    data.SetSlot(slot, std::move(image), name, 0x20, 0x01);
  }
  size_t FramesWithKey(uint8_t key) const {
    size_t n = 0;
    for (const auto& f : device.frames) n += f.key == key;
    return n;
  }

  TestDataSet data;
  sim::Tq410 device;
  LogRecorder log;
};

TEST_F(ProgrammingTest, WritesTheImageAndHoldsTheFinalFrameBack) {
  const TestImage image = BuildImage(kH, kB, kS, {300, 2000, 700, 150});
  SetSlot(1, image, "TQ410_XX");
  Identify(0x0100);
  ASSERT_EQ(ProgramDevice(), 0);
  EXPECT_EQ(log.Appended(), (Lines{"TQ410_XX ver. 01.20", ""}));
  const Bytes& commit = image.frames.back();
  EXPECT_EQ(Bytes(DeferredFrame, DeferredFrame + deferredLength), commit);
  EXPECT_TRUE(device.commits.empty()) << "the final frame waits for SendDeferredFrame";

  ASSERT_EQ(SendDeferredFrame(), 0);
  EXPECT_EQ(device.AcceptedFrames(), image.frames);
  EXPECT_EQ(device.flash, image.data);
  EXPECT_EQ(device.identity.codeS, kS);
}

struct SelectCase {
  const char* name;
  std::vector<uint16_t> slotLevels;  // 0: empty slot
  std::vector<uint8_t> markers;      // per slot, 0x01 when not given
  uint32_t deviceLevel;
  int selected;
  int result;
  Lines lines;
};
void PrintTo(const SelectCase& c, std::ostream* os) { *os << c.name; }

class SelectionTest : public ProgrammingTest, public ::testing::WithParamInterface<SelectCase> {};

TEST_P(SelectionTest, ChoosesTheFirstFittingSlot) {
  const SelectCase& c = GetParam();
  for (size_t k = 0; k < c.slotLevels.size(); ++k) {
    if (c.slotLevels[k] == 0) continue;
    const uint8_t marker = k < c.markers.size() ? c.markers[k] : kMarkerValid;
    SetSlot(static_cast<int>(k),
            BuildImage(kH, kB, c.slotLevels[k], {100, 100}, static_cast<uint32_t>(k + 1), marker),
            ("S" + std::to_string(k)).c_str());
  }
  Identify(c.deviceLevel);
  EXPECT_EQ(SelectUpdateImage(), c.selected);
  EXPECT_EQ(log.Appended(), c.lines);

  ClearStatusLog();
  log.Start();
  const uint64_t framesBefore = device.counters.framesReceived;
  EXPECT_EQ(ProgramDevice(), c.result);
  if (c.result != 0) {
    EXPECT_EQ(device.counters.framesReceived, framesBefore) << "nothing is sent";
    EXPECT_EQ(deferredLength, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SelectionTest,
    ::testing::Values(
        SelectCase{"UpToDate", {kS}, {}, kS, -2, 122, {"S0 ver. 01.20"}},
        SelectCase{"DeviceNewer", {kS}, {}, kS + 1, -1, 121, {}},
        SelectCase{"EmptySlotPassedOver", {0, kS}, {}, 0x100, 1, 0, {"S1 ver. 01.20"}},
        SelectCase{"BadMarkerReportedThenNextSlot", {kS, kS}, {0x07}, 0x100, 1, 0,
                   {"Error - pu[0]!=0x01 (07)", "S1 ver. 01.20"}},
        SelectCase{"DisabledSlotSilent", {kS, kS}, {kMarkerDisabled}, 0x100, 1, 0, {"S1 ver. 01.20"}},
        SelectCase{"LowerSlotWins", {kS, kS + 5}, {}, 0x100, 0, 0, {"S0 ver. 01.20"}},
        SelectCase{"LowerSlotWinsEvenWhenUpToDate", {kS, kS + 5}, {}, kS, -2, 122, {"S0 ver. 01.20"}},
        SelectCase{"AnyLevelFitsANewerDevice", {kAnyLevel}, {}, 0x9000, 0, 0, {"S0 ver. 01.20"}},
        SelectCase{"AnyLevelUpToDateOnlyAtAnyLevel", {kAnyLevel}, {}, kAnyLevel, -2, 122,
                   {"S0 ver. 01.20"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProgrammingTest, OtherHardwareCodesDoNotFit) {
  SetSlot(0, BuildImage(kH + 1, kB, kS, {100}));
  SetSlot(1, BuildImage(kH, kB + 1, kS, {100}));
  Identify(0x100);
  EXPECT_EQ(ProgramDevice(), 121);
  EXPECT_EQ(log.Appended(), (Lines{"Error: No update data found"}));
}

TEST_F(ProgrammingTest, FrameAcceptedAtTheFifthAttempt) {
  const TestImage image = BuildImage(kH, kB, kS, {200, 200, 200});
  SetSlot(0, image);
  Identify(0x100);
  const uint8_t key = tq410::ImageFrameKey(1);
  device.RefuseKey(key, 4);
  ASSERT_EQ(ProgramDevice(), 0);
  ASSERT_EQ(FramesWithKey(key), 5u);
  std::vector<double> received;
  for (const auto& f : device.frames)
    if (f.key == key) received.push_back(static_cast<double>(f.received) / sim::kMs);
  // From one receipt to the next: the echo (arriving as the device hears the
  // last byte, then the chip's 4 ms latency), the 200 ms reply window, the
  // 200 ms pause, and the frame's own time on the line.
  const double lineMs = image.frames[1].size() * 10 * 1000.0 / 38400;
  for (size_t k = 1; k < received.size(); ++k) {
    EXPECT_GT(received[k] - received[k - 1], 400 + lineMs) << k;
    EXPECT_LT(received[k] - received[k - 1], 400 + lineMs + 8) << k;
  }
  ASSERT_EQ(SendDeferredFrame(), 0);
  EXPECT_EQ(device.flash, image.data);
}

struct RefusalCase {
  const char* name;
  uint8_t code;  // 0: no reply; else the digit of a valid reply with no effect
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class FrameRefusedTest : public ProgrammingTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(FrameRefusedTest, FiveFailuresStopProgrammingBeforeTheFinalFrame) {
  const TestImage image = BuildImage(kH, kB, kS, {200, 200, 200});
  SetSlot(0, image);
  Identify(0x100);
  const uint8_t key = tq410::ImageFrameKey(1);
  device.RefuseKey(key, 5, GetParam().code);
  const double start = NowMs();
  EXPECT_EQ(ProgramDevice(), 201);
  EXPECT_EQ(FramesWithKey(key), 5u);
  EXPECT_EQ(FramesWithKey(tq410::ImageFrameKey(2)), 0u) << "no later frame is sent";
  EXPECT_EQ(log.Appended().back(), "Error_flash_prog_1 !!!");
  EXPECT_EQ(deferredLength, 0u) << "the final frame came after the refused one";
  EXPECT_GE(NowMs() - start, 5 * 200.0) << "five pauses";
  EXPECT_TRUE(device.commits.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameRefusedTest,
                         ::testing::Values(RefusalCase{"NoReply", 0}, RefusalCase{"WrongCode", '5'},
                                           RefusalCase{"Refused", '7'}),
                         [](const auto& info) { return std::string(info.param.name); });

// A release may place the final frame before a stop entry: programming ends
// there with success, and the held frame is still sent.
TEST_F(ProgrammingTest, StopEntryEndsWithSuccessAndTheFinalFrameIsStillSent) {
  TestImage image = BuildImage(kH, kB, kS, {200, 200});
  Bytes later = Entry(1, test_release::WriteFrame(0x50, tq410::kWrite, 400, Bytes(50, 1)));
  image.bytes.pop_back();  // the end byte
  image.bytes.insert(image.bytes.end(), {0x04, 0x00});  // stop
  image.bytes.insert(image.bytes.end(), later.begin(), later.end());
  image.bytes.push_back(0x00);
  SetSlot(0, image);
  Identify(0x100);
  ASSERT_EQ(ProgramDevice(), 0);
  EXPECT_EQ(FramesWithKey(0x50), 0u);
  EXPECT_NE(log.Replaced().back(), "Programming, please wait (100%)");
  ASSERT_EQ(SendDeferredFrame(), 0);
  EXPECT_EQ(device.flash, image.data);
}

TEST_F(ProgrammingTest, NoOperationEntriesAreTwoBytesAndCountForProgress) {
  TestImage image = BuildImage(kH, kB, kS, {200});
  // Before the end byte: a type-9 entry whose length bits would say 0x3FF.
  image.bytes.insert(image.bytes.end() - 1, {0x39, 0xFF});
  SetSlot(0, image);
  Identify(0x100);
  ASSERT_EQ(ProgramDevice(), 0);
  // Three entries: the write, the final frame and the no-op. The write brings
  // the line to 33, the final frame to 66; the no-op adds no step of its own.
  auto line = [](int p) {
    char text[64];
    std::snprintf(text, sizeof text, "Programming, please wait (%3d%%)", p);
    return std::string(text);
  };
  Lines expected = {line(0)};
  for (int p = 0; p <= 66; ++p) expected.push_back(line(p));
  expected.push_back(line(100));
  EXPECT_EQ(log.Replaced(), expected);
}

TEST_F(ProgrammingTest, ImageOfOnlyTheEndEntry) {
  TestImage image = BuildImage(kH, kB, kS, {});
  image.bytes.resize(kImageHeaderSize);
  image.bytes.push_back(0xF0);  // type 0 with high bits set still ends the stream
  SetSlot(0, image);
  Identify(0x100);
  ASSERT_EQ(ProgramDevice(), 0);
  EXPECT_EQ(log.Replaced(),
            (Lines{"Programming, please wait (  0%)", "Programming, please wait (100%)"}));
  EXPECT_EQ(device.counters.framesReceived, 0u);
  EXPECT_EQ(SendDeferredFrame(), 0) << "nothing held, nothing sent";
  EXPECT_EQ(device.counters.framesReceived, 0u);
}

TEST_F(ProgrammingTest, FinalFrameRefusedIsNeverASuccess) {
  const TestImage image = BuildImage(kH, kB, kS, {200});
  SetSlot(0, image);
  Identify(0x100);
  ASSERT_EQ(ProgramDevice(), 0);
  const uint8_t commitKey = tq410::ImageFrameKey(1);

  // Five valid replies with another code than R6: the device refused.
  device.RefuseKey(commitKey, 5, '7');
  EXPECT_EQ(SendDeferredFrame(), 2);
  EXPECT_TRUE(device.commits.empty());

  // Five silences: the last exchange's own result.
  device.RefuseKey(commitKey, 5, 0);
  EXPECT_EQ(SendDeferredFrame(), 2);

  // Accepted at the last attempt.
  device.RefuseKey(commitKey, 4, 0);
  EXPECT_EQ(SendDeferredFrame(), 0);
  EXPECT_EQ(device.commits.size(), 1u);
}

TEST_F(ProgrammingTest, FinalFrameWithoutEchoReturnsOne) {
  SetSlot(0, BuildImage(kH, kB, kS, {200}));
  Identify(0x100);
  ASSERT_EQ(ProgramDevice(), 0);
  world->echo = false;  // skipEcho is 0: every attempt waits in vain for the echo
  EXPECT_EQ(SendDeferredFrame(), 1);
}

}  // namespace
