#include <ostream>
#include <string>
#include <vector>

#include "link/adapter_connection.h"
#include "tests/fixture.h"

namespace {

using Lines = std::vector<std::string>;

Lines Appended() {
  Lines out;
  for (const std::string& line : StatusLines())
    if (!line.empty()) out.push_back(line);
  return out;
}

class AdapterConnectionTest : public SimTest {};

TEST_F(AdapterConnectionTest, OpenConfiguresTheLine) {
  ASSERT_EQ(OpenAdapter(0), 0);
  EXPECT_NE(AdapterHandle, nullptr);
  EXPECT_EQ(Appended(), Lines{"USB adapter o.k."});
  EXPECT_EQ(SetAdapterLatency(), 0);
  EXPECT_EQ(SetAdapterEventChar(), 0);
  const sim::LineSettings& s = world->settings;
  EXPECT_EQ(s.baudRate, 38400u);
  EXPECT_EQ(s.wordLength, 8);
  EXPECT_EQ(s.stopBits, 0);
  EXPECT_EQ(s.parity, 0);
  EXPECT_EQ(s.flowControl, 0);
  EXPECT_EQ(s.xon, 0);
  EXPECT_EQ(s.xoff, 0);
  EXPECT_EQ(s.latencyMs, 4);
  EXPECT_EQ(s.eventChar, 13);
  EXPECT_EQ(s.eventEnable, 1);
  EXPECT_EQ(s.errorChar, 0);
  EXPECT_EQ(s.errorEnable, 0);
}

struct OpenCase {
  const char* name;
  int quiet;
  bool present;
  bool listFails;
  int result;
  Lines lines;
};
void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class OpenFailureTest : public AdapterConnectionTest,
                        public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenFailureTest, ReportsAsTheQuietFlagSays) {
  const OpenCase& c = GetParam();
  world->present = c.present;
  world->refuse.list = c.listFails;
  adapterFault = 5;
  EXPECT_EQ(OpenAdapter(c.quiet), c.result);
  EXPECT_EQ(AdapterHandle, nullptr);
  EXPECT_EQ(Appended(), c.lines);
  EXPECT_EQ(adapterFault, 5) << "a failed open keeps the fault count";
}

const Lines kOpenFailed = {"USB adapter connection - Failed", "Insert USB adapter please."};

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenFailureTest,
    ::testing::Values(OpenCase{"QuietAbsent", 1, false, false, 102, {}},
                      OpenCase{"LoudAbsent", 0, false, false, 102, kOpenFailed},
                      OpenCase{"OnlyOneIsQuiet", 2, false, false, 102, kOpenFailed},
                      OpenCase{"NegativeIsLoud", -1, false, false, 102, kOpenFailed},
                      OpenCase{"QuietListFailure", 1, true, true, 101, {"Error USB adapter invalid"}},
                      OpenCase{"LoudListFailure", 0, true, true, 101, {"Error USB adapter invalid"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AdapterConnectionTest, WrongDescriptionIsNotOpened) {
  world->description = "USB Serial Converter";
  EXPECT_EQ(OpenAdapter(1), 102);
  EXPECT_EQ(AdapterHandle, nullptr);
}

struct RefusedSetting {
  const char* name;
  bool sim::Refusals::*refusal;
  const char* line;
};
void PrintTo(const RefusedSetting& c, std::ostream* os) { *os << c.name; }

class RefusedSettingTest : public AdapterConnectionTest,
                           public ::testing::WithParamInterface<RefusedSetting> {};

TEST_P(RefusedSettingTest, IsReportedAndTheOpenStillSucceeds) {
  world->refuse.*(GetParam().refusal) = true;
  adapterFault = 3;
  EXPECT_EQ(OpenAdapter(0), 0);
  EXPECT_EQ(Appended(), (Lines{GetParam().line, "USB adapter o.k."}));
  EXPECT_EQ(adapterFault, 0);
  EXPECT_NE(AdapterHandle, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedSettingTest,
    ::testing::Values(
        RefusedSetting{"FlowControl", &sim::Refusals::flowControl, "Error FT_SetFlowControl Failed"},
        RefusedSetting{"DataCharacteristics", &sim::Refusals::dataCharacteristics,
                       "Error FT_SetDataCharacteristics Failed"},
        RefusedSetting{"BaudRate", &sim::Refusals::baudRate, "Error FT_SetBaudRate Failed"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AdapterConnectionTest, RefusedLatencyAndCharsReturnTwoWithTheirLines) {
  ASSERT_EQ(OpenAdapter(0), 0);
  world->refuse.latency = true;
  world->refuse.chars = true;
  EXPECT_EQ(SetAdapterLatency(), 2);
  EXPECT_EQ(SetAdapterEventChar(), 2);
  EXPECT_EQ(Appended(), (Lines{"USB adapter o.k.", "\r\n FT_SetLatencyTimer Failed",
                               "\r\n FT_SetChars Failed"}));
}

TEST_F(AdapterConnectionTest, ReopenClosesFirstAndAFailedReopenLeavesNoHandle) {
  ASSERT_EQ(OpenAdapter(0), 0);
  void* first = AdapterHandle;
  ASSERT_EQ(OpenAdapter(0), 0) << "the adapter was closed before it was opened again";
  EXPECT_NE(AdapterHandle, first);

  adapterFault = 2;
  world->refuse.open = true;
  EXPECT_EQ(OpenAdapter(1), 102);
  EXPECT_EQ(AdapterHandle, nullptr);
  EXPECT_FALSE(world->open) << "the old handle was closed";
  EXPECT_EQ(adapterFault, 2);
}

TEST_F(AdapterConnectionTest, DrainReadsAtMost260AtATime) {
  ASSERT_EQ(OpenAdapter(0), 0);
  for (int i = 0; i < 1000; ++i) world->hostQueue.push_back(static_cast<uint8_t>(i));
  world->stats = {};
  world->stats.recordReads = true;
  DrainAdapter();
  EXPECT_EQ(world->stats.readRequests, (std::vector<uint32_t>{260, 260, 260, 220}));
  EXPECT_EQ(world->stats.statusQueries, 5u);
  EXPECT_TRUE(world->hostQueue.empty());
}

TEST_F(AdapterConnectionTest, DrainOfAnEmptyQueueMakesOneQueryAndNoRead) {
  ASSERT_EQ(OpenAdapter(0), 0);
  world->stats = {};
  DrainAdapter();
  EXPECT_EQ(world->stats.statusQueries, 1u);
  EXPECT_EQ(world->stats.reads, 0u);
}

TEST_F(AdapterConnectionTest, DrainStopsWhenAReadFails) {
  ASSERT_EQ(OpenAdapter(0), 0);
  for (int i = 0; i < 100; ++i) world->hostQueue.push_back(0x55);
  world->refuse.read = true;
  world->stats = {};
  DrainAdapter();
  EXPECT_EQ(world->stats.reads, 1u);
  EXPECT_EQ(world->hostQueue.size(), 100u);
}

TEST_F(AdapterConnectionTest, DrainReturnsWithoutAnAdapter) {
  DrainAdapter();  // AdapterHandle is null: the status query fails and reports nothing
  EXPECT_EQ(world->stats.reads, 0u);
}

}  // namespace
