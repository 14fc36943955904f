// The simulated FTD2XX.dll's scenarios, run here on the virtual clock against
// the whole worker loop: each must lead the real logic where its description
// says (an update, two, an error, a wait for the adapter), so the slow runs
// under Wine start from scenarios known to be right.
#include <algorithm>
#include <string>
#include <vector>

#include "control/update_cycle.h"
#include "sim/scenarios.h"
#include "tests/fixture.h"
#include "tests/log_recorder.h"

namespace {

using sim::kMs;

struct ScenarioCase {
  const char* name;
  std::vector<int> answers;  // to "Update another device?", in turn
  double limitMs;            // virtual time allowed
  bool workerEnds;           // the worker posts Exit within the limit
  size_t questions;
  std::vector<std::string> devices;  // expected lines of the device report (prefixes)
  std::vector<std::string> shown;    // lines appended at some point
};

const std::string kEnUpdated = "device 1 TQ410_EN codeH=0A21 codeB=0235 codeS=013F commits=1 firmware-bytes=73014";
const std::string kEnUntouched = "device 1 TQ410_EN codeH=0A21 codeB=0235 codeS=0100 commits=0 firmware-bytes=0";

const std::vector<ScenarioCase> kCases = {
    {"replace", {6, 7}, 200000, true, 2,
     {kEnUpdated, "device 2 TQ410_EN codeH=0A21 codeB=0235 codeS=013F commits=1 firmware-bytes=73014"},
     {"Update done o.k."}},
    {"bridge", {7}, 120000, true, 1,
     {kEnUpdated, "device 2 TQ410_CZ codeH=0A22 codeB=0235 codeS=013F commits=1 firmware-bytes=72994"},
     {"Bridge mode activated"}},
    {"no-echo", {7}, 100000, true, 1, {kEnUpdated}, {"Update done o.k."}},
    {"noisy", {7}, 100000, true, 1, {kEnUpdated}, {"Update done o.k."}},
    {"pulled-out", {7}, 150000, true, 1, {kEnUpdated},
     {"Update error. Try again please.", "Insert USB adapter please.", "Update done o.k."}},
    {"no-adapter", {}, 20000, false, 0, {kEnUntouched}, {"USB adapter connection - Failed", "Insert USB adapter please."}},
    {"up-to-date", {}, 30000, false, 0,
     {"device 1 TQ410_EN codeH=0A21 codeB=0235 codeS=013F commits=0 firmware-bytes=0"},
     {"Device is up to date", "Update error. Try again please."}},
    {"refuse-baud", {}, 30000, false, 0, {kEnUntouched}, {"Error FT_SetBaudRate Failed", "Device not detected."}},
};

class ScenarioTest : public SimTest {
 protected:
  void TearDown() override {
    if (scenario != nullptr) sim::EndScenario(scenario, *world);
  }
  // The DLL lets the scenario react after every library call; here a timer
  // does it every 5 virtual milliseconds.
  void Tick() {
    world->At(world->Now() + 5 * kMs, [this] {
      sim::TickScenario(*scenario, *world);
      Tick();
    });
  }
  sim::Scenario* scenario = nullptr;
  LogRecorder log;
};

TEST_F(ScenarioTest, EachLeadsTheWorkerWhereItSays) {
  for (const ScenarioCase& c : kCases) {
    SCOPED_TRACE(c.name);
    world = &sim::ResetSimulation();
    ResetLogicState();
    log = LogRecorder();
    log.Start();
    scenario = sim::StartScenario(c.name, *world);
    ASSERT_NE(scenario, nullptr);
    Tick();
    for (int a : c.answers) sim::TheHost().answers.push_back(a);
    sim::TheHost().deadline = static_cast<sim::Nanos>(c.limitMs * kMs);
    bool ended = false;
    try {
      EXPECT_EQ(UpdateWorker(nullptr), 0);
      ended = true;
    } catch (const sim::DeadlineReached&) {
    }
    EXPECT_EQ(ended, c.workerEnds);
    EXPECT_EQ(sim::TheHost().questions.size(), c.questions);
    const std::vector<std::string> report = sim::DescribeDevices(*scenario);
    ASSERT_GE(report.size(), c.devices.size());
    for (size_t i = 0; i < c.devices.size(); ++i) EXPECT_EQ(report[i].rfind(c.devices[i], 0), 0u) << report[i];
    const std::vector<std::string> appended = log.Appended();
    for (const std::string& line : c.shown)
      EXPECT_NE(std::find(appended.begin(), appended.end(), line), appended.end()) << line;
    sim::EndScenario(scenario, *world);
    scenario = nullptr;
  }
}

TEST_F(ScenarioTest, TheNoisyLineDoesLoseOrGarbleBytes) {
  scenario = sim::StartScenario("noisy", *world);
  Tick();
  sim::TheHost().answers.push_back(7);
  sim::TheHost().deadline = 100000 * kMs;
  EXPECT_EQ(UpdateWorker(nullptr), 0);
  const std::vector<std::string> report = sim::DescribeDevices(*scenario);
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(report[1].rfind("line bytes-lost=", 0), 0u);
  EXPECT_NE(report[1], "line bytes-lost=0 bytes-garbled=0");
}

TEST_F(ScenarioTest, TheDefaultIsReplaceAndUnknownNamesAreRefused) {
  EXPECT_STREQ(sim::ScenarioList().front().name, "replace");
  scenario = sim::StartScenario("", *world);
  ASSERT_NE(scenario, nullptr);
  EXPECT_EQ(sim::DescribeDevices(*scenario).size(), 2u);  // the two TQ410_EN of replace
  EXPECT_EQ(sim::StartScenario("no-such-scenario", *world), nullptr);
}

}  // namespace
