// Device detection against the simulated TQ410, and against a scripted far end
// where a test needs exact byte placement. All times are virtual; a detection
// pass lasts exactly 6 ms (probe write, 6 ms sleep, one read), so limits that
// the logic tests against a pass fall on the first pass at or after them.
#include <cmath>
#include <cstring>
#include <functional>

#include "control/detection.h"
#include "link/adapter_connection.h"
#include "link/frame_exchange.h"
#include "sim/tq410.h"
#include "tests/fixture.h"

namespace {

using sim::kMs;
using sim::Nanos;

// Answers every probe (counted by bytes, five to a probe) with bytes of the
// test's choosing, 1 ms after the probe's last byte.
struct ScriptedAnswers final : sim::LinePeer {
  std::function<std::vector<uint8_t>(int probe)> answer;
  int bytes = 0, probes = 0;
  void OnByte(sim::World& world, Nanos t, uint8_t) override {
    if (++bytes % 5 != 0) return;
    world.SendToHost(t + kMs, answer(++probes));
  }
};

// Samples the status lines every millisecond (at half past) and keeps each
// change with the millisecond in which it was made.
struct LineWatch {
  struct Change {
    int ms;
    std::vector<std::string> lines;
  };
  std::vector<Change> changes;
  std::vector<std::string> last = std::vector<std::string>(kStatusLines);

  void Start(sim::World& world, double untilMs) { Sample(world, 0.5, untilMs); }
  void Sample(sim::World& world, double ms, double untilMs) {
    auto now = StatusLines();
    if (now != last) {
      changes.push_back({static_cast<int>(std::floor(ms)), now});
      last = now;
    }
    if (ms + 1 <= untilMs)
      world.At(static_cast<Nanos>((ms + 1) * kMs), [this, &world, ms, untilMs] {
        Sample(world, ms + 1, untilMs);
      });
  }
  // Times and spinner characters of the reconnect prompts, in order.
  std::vector<std::pair<int, char>> Prompts() const {
    static const std::string kPrompt = "Reconnect device please. (";
    std::vector<std::pair<int, char>> out;
    for (const auto& c : changes)
      for (const auto& line : c.lines)
        if (line.rfind(kPrompt, 0) == 0 && line.size() == kPrompt.size() + 2 && line.back() == ')') {
          out.emplace_back(c.ms, line[kPrompt.size()]);
          break;
        }
    return out;
  }
};

class DetectionTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    device.Attach(*world);
    ASSERT_EQ(OpenAdapter(0), 0);
    SetAdapterLatency();
    SetAdapterEventChar();
    ClearStatusLog();
  }
  std::vector<std::string> Lines(std::initializer_list<const char*> head) {
    std::vector<std::string> out(head.begin(), head.end());
    out.resize(kStatusLines);
    return out;
  }
  // Bytes appear in the chip at `ms`, as if the line had just brought them.
  void InjectAt(double ms, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) world->InjectAtChip(static_cast<Nanos>(ms * kMs), b);
  }

  sim::Tq410 device;
  ScriptedAnswers scripted;
  LineWatch watch;
};

const std::vector<uint8_t> kPair = {0xAC, 0x3A};

TEST_F(DetectionTest, RunningDeviceIsDetectedAtItsFourthAnswer) {
  EXPECT_EQ(DetectDevice(10), 0);
  EXPECT_EQ(NowMs(), 24);  // each answer is in the read of its own pass
  EXPECT_EQ(device.counters.probesAnswered, 4u);
  EXPECT_EQ(StatusLines(), Lines({"Device searching...", "Device detected."}));
  EXPECT_EQ(txLength, 5u);
  EXPECT_EQ(std::memcmp(TransmitFrame, probeFrame, 5), 0);
}

TEST_F(DetectionTest, FourAnswersInOneReadDetectAtOnceAndDrainTheRest) {
  world->peer = nullptr;
  std::vector<uint8_t> burst;
  for (int k = 0; k < 4; ++k) burst.insert(burst.end(), kPair.begin(), kPair.end());
  burst.resize(300, 0x55);  // more than one read window holds
  InjectAt(1, burst);
  watch.Start(*world, 10);
  EXPECT_EQ(DetectDeviceOnce(), 0);
  EXPECT_EQ(NowMs(), 6);
  EXPECT_TRUE(world->hostQueue.empty());
  EXPECT_EQ(world->stats.writes, 1u);
  EXPECT_TRUE(watch.Prompts().empty());
}

// What a read holds decides what counts; the scripted far end puts each
// answer into the read of the next pass, alone.
TEST_F(DetectionTest, OnlyWholePairsInsideOneReadCount) {
  struct Case {
    const char* what;
    bool echo;
    std::function<std::vector<uint8_t>(int)> answer;
    int result;
    double endsAtMs;
  } cases[] = {
      {"exactly the pair in each read", false, [](int) { return kPair; }, 0, 30},
      {"only the probe's echo", true, [](int) { return std::vector<uint8_t>{}; }, 1, 2502},
      {"a single 0xAC", false, [](int) { return std::vector<uint8_t>{0xAC}; }, 1, 2502},
      {"pair split across reads", false,
       [](int n) { return std::vector<uint8_t>{static_cast<uint8_t>(n % 2 ? 0xAC : 0x3A)}; }, 1,
       2502},
      {"reversed pair, 0xAC last in one read, 0x3A first in the next", false,
       [](int) { return std::vector<uint8_t>{0x3A, 0xAC}; }, 1, 2502},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    world = &sim::ResetSimulation();
    ResetLogicState();
    scripted = ScriptedAnswers();
    scripted.answer = c.answer;
    world->peer = &scripted;
    world->echo = c.echo;
    ASSERT_EQ(OpenAdapter(1), 0);
    SetAdapterLatency();
    SetAdapterEventChar();
    EXPECT_EQ(DetectDeviceOnce(), c.result);
    EXPECT_EQ(NowMs(), c.endsAtMs);
    if (c.echo) {
      EXPECT_GT(world->stats.bytesEchoed, 0u);
    }
  }
}

TEST_F(DetectionTest, ThreeAnswersThenSilencePromptFiveHundredMillisecondsAfterTheThird) {
  device.answersProbe = [](uint64_t n) { return n <= 3; };
  watch.Start(*world, 2600);
  EXPECT_EQ(DetectDeviceOnce(), 1);
  EXPECT_EQ(NowMs(), 2502);
  // The third answer is counted in the pass at 18 ms; the prompt comes at the
  // first pass at least 500 ms later, and then every 500 ms from its due time.
  const std::vector<std::pair<int, char>> expected = {
      {522, '-'}, {1020, '\\'}, {1518, '|'}, {2022, '/'}};
  EXPECT_EQ(watch.Prompts(), expected);
}

TEST_F(DetectionTest, AnswersDoNotCarryOverToTheNextAttempt) {
  // Three answers in each of two attempts: six in all, never four in one. An
  // attempt of 2502 ms sends 417 probes.
  device.answersProbe = [](uint64_t n) { return n <= 3 || (n > 417 && n <= 420); };
  EXPECT_EQ(DetectDevice(2), 1);
  EXPECT_EQ(device.counters.probesHeard, 2u * 417);
  EXPECT_EQ(device.counters.probesAnswered, 6u);
  EXPECT_EQ(NowMs(), 2 * 2502);
  EXPECT_EQ(StatusLines(), Lines({"Device searching...", "Device not detected."}));
}

TEST_F(DetectionTest, SpinnerTurnsFromProgramStartAcrossAttempts) {
  device.Unplug(*world, 0);
  watch.Start(*world, 5100);
  EXPECT_EQ(DetectDevice(2), 1);
  const auto prompts = watch.Prompts();
  std::string spin;
  for (const auto& p : prompts) spin += p.second;
  EXPECT_EQ(spin, "-\\|/-\\|/-");
  // The tenth prompt, in the pass that ends the second attempt, is replaced by
  // the result line at once; it too advanced the spinner, to the backslash.
  EXPECT_EQ(spinnerIndex, 2);
  ASSERT_GE(prompts.size(), 5u);
  // Without answers the prompt is due every 500 ms from the attempt's start;
  // the last one comes in the pass that ends the attempt.
  EXPECT_EQ(prompts[0].first, 504);
  EXPECT_EQ(prompts[1].first, 1002);
  EXPECT_EQ(prompts[2].first, 1500);
  EXPECT_EQ(prompts[3].first, 2004);
  EXPECT_EQ(prompts[4].first, 2502);
  // The prompt stood in the line below "Device searching...", which the result replaced.
  EXPECT_EQ(StatusLines(), Lines({"Device searching...", "Device not detected."}));
}

TEST_F(DetectionTest, NumberOfAttempts) {
  struct Case {
    int attempts;
    int made;
  } cases[] = {{0, 1}, {-1, 1}, {1, 1}, {3, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.attempts);
    const double start = NowMs();
    ClearStatusLog();
    device.Unplug(*world, world->Now());
    EXPECT_EQ(DetectDevice(c.attempts), 1);
    EXPECT_EQ(NowMs() - start, 2502.0 * c.made);
    EXPECT_EQ(StatusLines(), Lines({"Device searching...", "Device not detected."}));
  }
}

TEST_F(DetectionTest, TenAttemptsStopAtTheFirstSuccess) {
  device.Unplug(*world, 0);
  device.PlugAt(*world, 6000 * kMs);  // during the third attempt
  EXPECT_EQ(DetectDevice(10), 0);
  EXPECT_GT(NowMs(), 6050);
  EXPECT_LT(NowMs(), 3 * 2502);
  EXPECT_EQ(device.counters.probesAnswered, 4u);
  EXPECT_EQ(StatusLines(), Lines({"Device searching...", "Device detected."}));
}

TEST_F(DetectionTest, AdapterPulledOutEndsTheAttemptAtThatPass) {
  device.Unplug(*world, 0);
  world->UnplugAt(static_cast<Nanos>(100.5 * kMs));
  EXPECT_EQ(DetectDevice(10), 1);
  EXPECT_EQ(adapterFault, 1);
  // The first attempt ends in the pass at 102 ms; with the fault standing,
  // each of the nine others makes one pass.
  EXPECT_EQ(NowMs(), 102 + 9 * 6);
  EXPECT_EQ(StatusLines(), Lines({"Device searching...", "Device not detected."}));
}

TEST_F(DetectionTest, AdapterFaultAlreadySetGivesOnePass) {
  adapterFault = 1;
  EXPECT_EQ(DetectDeviceOnce(), 1);  // the running device's one answer is not enough
  EXPECT_EQ(NowMs(), 6);
  EXPECT_EQ(device.counters.probesHeard, 1u);

  // Unless that one pass sees the fourth answer.
  world->peer = nullptr;
  std::vector<uint8_t> four;
  for (int k = 0; k < 4; ++k) four.insert(four.end(), kPair.begin(), kPair.end());
  InjectAt(7, four);
  EXPECT_EQ(DetectDeviceOnce(), 0);
  EXPECT_EQ(NowMs(), 12);
}

TEST_F(DetectionTest, WithoutAnOpenAdapterNothingAnswers) {
  AdapterClose(AdapterHandle);
  AdapterHandle = nullptr;
  EXPECT_EQ(ProbeDevice(), 1);
  EXPECT_EQ(DetectDeviceOnce(), 1);
  EXPECT_EQ(adapterFault, 1);
  WaitForDisconnect();
  EXPECT_EQ(AdapterHandle, nullptr);
}

// WaitForDisconnect: sleep 100 ms, then probes of 20 ms each until three in a
// row go unanswered.
TEST_F(DetectionTest, WaitForDisconnectEndsAfterThreeUnansweredProbesInARow) {
  struct Case {
    const char* what;
    std::vector<bool> answers;  // probe n answered; later probes are not
    double endsAtMs;
    uint64_t probes;
  } cases[] = {
      {"silent at once", {}, 100 + 60, 3},
      {"one answer after two silent probes", {false, false, true}, 160 + 100 + 60, 6},
      {"five answers", {true, true, true, true, true}, 5 * 120 + 160, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    world = &sim::ResetSimulation();
    ResetLogicState();
    device = sim::Tq410();
    device.Attach(*world);
    const std::vector<bool> answers = c.answers;
    device.answersProbe = [answers](uint64_t n) { return n <= answers.size() && answers[n - 1]; };
    ASSERT_EQ(OpenAdapter(0), 0);
    SetAdapterLatency();
    ClearStatusLog();
    WaitForDisconnect();
    EXPECT_EQ(NowMs(), c.endsAtMs);
    EXPECT_EQ(device.counters.probesHeard, c.probes);
    EXPECT_EQ(AdapterHandle, nullptr);
    EXPECT_FALSE(world->open);
    EXPECT_EQ(StatusLines(), Lines({}));
  }
}

TEST_F(DetectionTest, DeviceAnsweringOneProbeInThreeKeepsTheWaitGoing) {
  device.answersProbe = [](uint64_t n) { return n % 3 == 0; };
  sim::TheHost().deadline = 10000 * kMs;
  EXPECT_THROW(WaitForDisconnect(), sim::DeadlineReached);
  EXPECT_NE(AdapterHandle, nullptr);
  EXPECT_TRUE(world->open);
  // Rounds of 160 ms (100 ms sleep, three probes) until the deadline.
  EXPECT_EQ(device.counters.probesHeard, 3u * 62);
  EXPECT_EQ(device.counters.probesAnswered, 62u);
}

TEST_F(DetectionTest, WaitForDisconnectEndsOnceTheDeviceOrTheAdapterIsPulledOut) {
  for (bool adapter : {false, true}) {
    SCOPED_TRACE(adapter ? "adapter pulled out" : "device unplugged");
    world = &sim::ResetSimulation();
    ResetLogicState();
    device = sim::Tq410();
    device.Attach(*world);
    ASSERT_EQ(OpenAdapter(0), 0);
    SetAdapterLatency();
    if (adapter)
      world->UnplugAt(1000 * kMs);
    else
      device.UnplugAt(*world, 1000 * kMs);
    WaitForDisconnect();
    // Rounds of 120 ms: the probe at 940 ms is answered, the three from 1060 ms are not.
    EXPECT_EQ(NowMs(), 1060 + 60);
    EXPECT_EQ(AdapterHandle, nullptr);
  }
}

}  // namespace
