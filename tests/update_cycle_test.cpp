// Whole update cycles and the worker loop against simulated TQ410 devices and
// the carried release, in virtual time.
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "control/update_cycle.h"
#include "link/adapter_connection.h"
#include "sim/tq410.h"
#include "tests/fixture.h"
#include "tests/log_recorder.h"
#include "update/update_data.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using sim::kMs;

// The frames of a carried image in entry order (types 1, 2, 3), and the data
// its write blocks carry (after lead, key, command, length and address).
struct CarriedImage {
  std::vector<Bytes> frames;
  Bytes data;
};

CarriedImage Carried(int slot) {
  CarriedImage out;
  const uint8_t* entry = FirstEntry(carriedDataSet.imageTable[slot]);
  for (; EntryType(entry) != 0; entry = NextEntry(entry)) {
    const uint8_t* frame = EntryFrame(entry);
    const uint32_t length = EntryLength(entry);
    out.frames.emplace_back(frame, frame + length);
    if (frame[2] != tq410::kCommit) out.data.insert(out.data.end(), frame + 9, frame + length - 2);
  }
  return out;
}

// The image frames a device accepted, in the order it executed them (its
// identity inquiries left out).
std::vector<Bytes> ImageFramesAccepted(const sim::Tq410& device) {
  std::vector<Bytes> out;
  for (const Bytes& frame : device.AcceptedFrames())
    if (frame[2] != tq410::kGetInfo && frame[2] != tq410::kBridge) out.push_back(frame);
  return out;
}

constexpr uint16_t kLevel = 0x013F;

class UpdateCycleTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    device.identity = {0x0A21, 0x0235, 0x0100, 12, 345};
    device.Attach(*world);
    log.Start();
  }
  // Runs the worker until it returns or the virtual clock reaches `limitMs`.
  // Returns true when the worker returned.
  bool RunWorker(double limitMs) {
    sim::TheHost().deadline = static_cast<sim::Nanos>(limitMs * kMs);
    try {
      EXPECT_EQ(UpdateWorker(reinterpret_cast<void*>(1)), 0);
      return true;
    } catch (const sim::DeadlineReached&) {
      return false;
    }
  }
  std::vector<double> Cleared() const {
    std::vector<double> out;
    for (const LogEvent& e : log.events())
      if (e.kind == LogEvent::kClear) out.push_back(e.ms);
    return out;
  }
  sim::Tq410 device;
  LogRecorder log;
};

TEST_F(UpdateCycleTest, DirectPathLeavesTheTenLinesAndTheImageOnTheDevice) {
  device.UnplugAt(*world, 40000 * kMs);
  ASSERT_TRUE(RunWorker(60000));
  EXPECT_EQ(StatusLines(), (Lines{"USB adapter o.k.", "Device searching...", "Device detected.",
                                  "ID (00012:00345) H:0A21 B:0235 S:0100", "TQ410_EN ver. 01.20", "",
                                  "ID (00012:00345) H:0A21 B:0235 S:0100", "", "Update done o.k.",
                                  "Disconnect device please."}))
      << "the device takes its new level with the final frame, sent after the second read";
  const CarriedImage image = Carried(0);
  EXPECT_TRUE(ImageFramesAccepted(device) == image.frames) << "every frame, in order, unaltered";
  EXPECT_EQ(device.flash, image.data);
  EXPECT_EQ(device.identity.codeS, kLevel);
  ASSERT_EQ(device.commits.size(), 1u);

  // The update took its time on the line and no more than 25 s in all.
  const double done = log.AppendTimes("Update done o.k.").at(0);
  EXPECT_GT(done, 19000);
  EXPECT_LT(done, 25000);

  // The question came once the device was gone; No posts Exit once.
  const auto& host = sim::TheHost();
  ASSERT_EQ(host.questions.size(), 1u);
  EXPECT_EQ(host.questions[0].text, "Update another device?");
  EXPECT_EQ(host.questions[0].caption, "Update done o.k.");
  EXPECT_EQ(host.questions[0].owner, mainWindow);
  EXPECT_GE(host.questions[0].t, 40000 * kMs);
  ASSERT_EQ(host.posted.size(), 1u);
  EXPECT_EQ(host.posted[0].command, kExitCommand);
  EXPECT_EQ(host.posted[0].window, mainWindow);
  EXPECT_EQ(AdapterHandle, nullptr) << "the disconnect wait closed the adapter";
}

TEST_F(UpdateCycleTest, ProgressPassesEveryPercentageInOrder) {
  device.UnplugAt(*world, 40000 * kMs);
  ASSERT_TRUE(RunWorker(60000));
  std::vector<int> values;
  for (const std::string& line : log.Replaced()) {
    int percent = -1;
    if (std::sscanf(line.c_str(), "Programming, please wait (%d%%)", &percent) == 1)
      values.push_back(percent);
  }
  // The first 0 comes before any frame, the walk writes 0 to 99, then 100.
  std::vector<int> expected = {0};
  for (int p = 0; p <= 100; ++p) expected.push_back(p);
  EXPECT_EQ(values, expected);
}

TEST_F(UpdateCycleTest, BridgePathProgramsTheDeviceBehindFirst) {
  sim::Tq410 behind;
  behind.identity = {0x0A22, 0x0235, 0x0120, 7, 8};
  device.SetBehind(&behind);
  device.UnplugAt(*world, 60000 * kMs);
  ASSERT_TRUE(RunWorker(90000));

  ASSERT_EQ(behind.commits.size(), 1u);
  ASSERT_EQ(device.commits.size(), 1u);
  EXPECT_LT(behind.commits[0].t, device.commits[0].t);
  EXPECT_EQ(behind.flash, Carried(1).data) << "the CZ image for the device behind";
  EXPECT_EQ(device.flash, Carried(0).data);

  const Lines ids = log.AppendedStartingWith("ID (");
  EXPECT_EQ(ids, (Lines{"ID (00012:00345) H:0A21 B:0235 S:0100", "ID (00007:00008) H:0A22 B:0235 S:0120",
                        "ID (00007:00008) H:0A22 B:0235 S:0120", "ID (00012:00345) H:0A21 B:0235 S:0100",
                        "ID (00012:00345) H:0A21 B:0235 S:0100"}));
  EXPECT_EQ(behind.identity.codeS, kLevel);
  EXPECT_EQ(device.identity.codeS, kLevel);
  EXPECT_EQ(log.AppendTimes("Bridge mode activated").size(), 1u);
  const Lines lines = StatusLines();
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{"", "Update done o.k.", "Disconnect device please."}));
  EXPECT_EQ(statusLog.full, 1) << "the log scrolled";
}

struct ErrorCase {
  const char* name;
  sim::Tq410Identity identity;
  Lines tail;  // the last appended lines of the first cycle
};
void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class ErrorPathTest : public UpdateCycleTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ErrorPathTest, ReportsPausesAndWaitsForTheUnplug) {
  device.identity = GetParam().identity;
  device.UnplugAt(*world, 20000 * kMs);
  EXPECT_FALSE(RunWorker(21000));

  const Lines appended = log.Appended();
  const auto error = std::find(appended.begin(), appended.end(), "Update error. Try again please.");
  ASSERT_NE(error, appended.end());
  const Lines& tail = GetParam().tail;
  ASSERT_GE(error - appended.begin(), static_cast<long>(tail.size()));
  EXPECT_EQ(Lines(error - static_cast<long>(tail.size()), error), tail);
  EXPECT_TRUE(log.AppendedStartingWith("Programming").empty()) << "nothing was programmed";
  EXPECT_EQ(device.counters.blocksAccepted, 0u);

  // The next cycle starts only once the device is gone.
  const auto cleared = Cleared();
  ASSERT_EQ(cleared.size(), 2u);
  EXPECT_GT(cleared[1], 20000);
  EXPECT_TRUE(sim::TheHost().questions.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrorPathTest,
    ::testing::Values(
        ErrorCase{"UpToDate",
                  {0x0A21, 0x0235, kLevel, 1, 2},
                  {"ID (00001:00002) H:0A21 B:0235 S:013F", "TQ410_EN ver. 01.20", "Device is up to date"}},
        ErrorCase{"UnknownHardware",
                  {0x0B00, 0x0235, 0x0100, 1, 2},
                  {"ID (00001:00002) H:0B00 B:0235 S:0100", "Error: No update data found"}},
        ErrorCase{"NewerThanTheImage",
                  {0x0A23, 0x0235, 0x0200, 1, 2},
                  {"ID (00001:00002) H:0A23 B:0235 S:0200", "Error: No update data found"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateCycleTest, ErrorPathPausesTwoSecondsThenStartsAgainAfterTheUnplug) {
  device.identity.codeS = kLevel;  // up to date: the error path
  std::vector<std::pair<double, uint8_t>> toDevice;
  world->trace = [&](sim::Nanos t, sim::Direction d, uint8_t b) {
    if (d == sim::Direction::kToDevice) toDevice.emplace_back(double(t) / kMs, b);
  };
  device.UnplugAt(*world, 10000 * kMs);
  EXPECT_FALSE(RunWorker(12000));
  const double errorAt = log.AppendTimes("Update error. Try again please.").at(0);
  const auto next = std::find_if(toDevice.begin(), toDevice.end(),
                                 [&](const auto& tb) { return tb.first > errorAt; });
  ASSERT_NE(next, toDevice.end());
  // The first byte of the first probe arrives one byte time after its write.
  EXPECT_NEAR(next->first - errorAt, 2000 + 100 + 0.26, 1.0);
  // Three unanswered probes after the unplug close the adapter; the next
  // cycle starts with a cleared log and the adapter's line.
  ASSERT_EQ(Cleared().size(), 2u);
  EXPECT_GT(Cleared()[1], 10000);
  EXPECT_LT(Cleared()[1], 10300);
  EXPECT_EQ(log.AppendTimes("USB adapter o.k.").size(), 2u);
}

TEST_F(UpdateCycleTest, NoDeviceStartsTheNextCycleAtOnceAndSilently) {
  world->peer = nullptr;
  EXPECT_FALSE(RunWorker(30000));
  const auto notDetected = log.AppendTimes("Device not detected.");
  ASSERT_EQ(notDetected.size(), 1u);
  EXPECT_NEAR(notDetected[0], 10 * 2500, 100);
  const auto cleared = Cleared();
  ASSERT_EQ(cleared.size(), 2u);
  EXPECT_EQ(cleared[1], notDetected[0]) << "cleared at once by the next cycle";
  EXPECT_TRUE(log.AppendTimes("Update error. Try again please.").empty());
}

TEST_F(UpdateCycleTest, YesStartsTheNextCycle) {
  sim::Tq410 second;
  second.identity = {0x0A23, 0x0235, 0x0001, 99, 98};
  second.plugged = false;
  device.UnplugAt(*world, 30000 * kMs);
  // The operator swaps devices while the question is open.
  world->At(31000 * kMs, [&] {
    second.Attach(*world);
    second.Plug(*world, 31000 * kMs);
  });
  second.UnplugAt(*world, 70000 * kMs);
  sim::TheHost().answers = {kHostAnswerYes};
  ASSERT_TRUE(RunWorker(100000));
  EXPECT_EQ(sim::TheHost().questions.size(), 2u);
  EXPECT_EQ(sim::TheHost().posted.size(), 1u);
  EXPECT_EQ(device.flash, Carried(0).data);
  EXPECT_EQ(second.flash, Carried(2).data);
}

class AnswerTest : public UpdateCycleTest, public ::testing::WithParamInterface<int> {};

TEST_P(AnswerTest, AnythingButYesPostsExitOnceAndEndsTheWorker) {
  device.UnplugAt(*world, 30000 * kMs);
  sim::TheHost().answers = {GetParam()};
  ASSERT_TRUE(RunWorker(60000));
  ASSERT_EQ(sim::TheHost().posted.size(), 1u);
  EXPECT_EQ(sim::TheHost().posted[0].command, kExitCommand);
}

// No (7), Cancel (2), a box that could not be shown (0).
INSTANTIATE_TEST_SUITE_P(Answers, AnswerTest, ::testing::Values(7, 2, 0));

TEST_F(UpdateCycleTest, NoAdapterRepeatsTheMessagesEveryFiveSecondsAndNoticesThePlugIn) {
  world->present = false;
  world->PlugAt(12340 * kMs);
  device.UnplugAt(*world, 50000 * kMs);
  ASSERT_TRUE(RunWorker(80000));
  const auto failed = log.AppendTimes("USB adapter connection - Failed");
  ASSERT_GE(failed.size(), 3u);
  EXPECT_EQ(failed[0], 0);
  EXPECT_NEAR(failed[1], 5000, 110);
  EXPECT_NEAR(failed[2], 10000, 220);
  const auto ok = log.AppendTimes("USB adapter o.k.");
  ASSERT_FALSE(ok.empty());
  EXPECT_GE(ok[0], 12340);
  EXPECT_LE(ok[0], 12340 + 101);
  // Each round begins with a cleared log that starts with the two lines.
  for (double t : failed) EXPECT_NE(std::find(Cleared().begin(), Cleared().end(), t), Cleared().end());
  EXPECT_EQ(device.flash, Carried(0).data);
}

TEST_F(UpdateCycleTest, PullingTheAdapterEndsTheDisconnectWait) {
  // The device stays connected; the operator pulls the adapter instead.
  world->UnplugAt(30000 * kMs);
  sim::TheHost().answers = {kHostAnswerYes};
  EXPECT_FALSE(RunWorker(40000));
  ASSERT_EQ(sim::TheHost().questions.size(), 1u);
  EXPECT_LT(sim::TheHost().questions[0].t, 30500 * kMs);
  // The next cycle waits for an adapter.
  EXPECT_GE(log.AppendTimes("Insert USB adapter please.").size(), 2u);
}

TEST_F(UpdateCycleTest, RefusedFinalFrameIsAnErrorNotASuccess) {
  device.RefuseKey(tq410::ImageFrameKey(38), 5, '7');
  device.UnplugAt(*world, 30000 * kMs);
  EXPECT_FALSE(RunWorker(31000));
  EXPECT_TRUE(log.AppendTimes("Update done o.k.").empty());
  EXPECT_EQ(log.AppendTimes("Update error. Try again please.").size(), 1u);
  EXPECT_TRUE(device.commits.empty());
}

// The operator swaps devices while a frame of the first is being retried: the
// second takes the rest of the image, but the final frame, which would make
// it run firmware chosen for another unit, is never sent to it.
TEST_F(UpdateCycleTest, DeviceSwappedMidImageGetsNoFinalFrame) {
  sim::Tq410 second;
  second.identity = {0x0A21, 0x0235, 0x0100, 500, 600};
  second.plugged = false;
  device.RefuseKey(tq410::ImageFrameKey(0), 4);  // the first block is retried for a while
  world->At(1500 * kMs, [&] {
    device.Unplug(*world, 1500 * kMs);
    second.Attach(*world);
    second.Plug(*world, 1500 * kMs);
  });
  EXPECT_FALSE(RunWorker(30000));
  EXPECT_GT(second.counters.blocksAccepted, 30u) << "the second device took the image";
  EXPECT_TRUE(second.commits.empty());
  EXPECT_TRUE(device.commits.empty());
  EXPECT_TRUE(log.AppendTimes("Update done o.k.").empty());
  EXPECT_EQ(log.AppendTimes("Error: device changed during update").size(), 1u);
  EXPECT_EQ(log.AppendTimes("Update error. Try again please.").size(), 1u);
}

}  // namespace
