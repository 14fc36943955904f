#include "tests/campaign/campaign.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <memory>

#include "app/status_log.h"
#include "control/detection.h"
#include "control/identification.h"
#include "control/update_cycle.h"
#include "link/adapter_connection.h"
#include "link/frame_exchange.h"
#include "link/host_services.h"
#include "sim/line_faults.h"
#include "sim/sim_host.h"
#include "sim/tq410.h"
#include "tests/campaign/scenario.h"
#include "tests/logic_state.h"
#include "tests/log_recorder.h"
#include "update/programming.h"
#include "update/update_data.h"

namespace campaign {

using sim::FaultRandom;
using sim::kMs;
using sim::kNever;
using sim::Nanos;

namespace {

std::string Format(const char* format, ...) {
  char text[600];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

double Ms(Nanos t) { return static_cast<double>(t) / kMs; }

// Every global of the update logic at its program-start value, this seed's
// release, and a main window, so the log's changes can be observed.
void ResetLogic(const UpdateDataSet* set) {
  ResetLogicState();
  updateDataSet = set;
  mainWindow = reinterpret_cast<void*>(0x4D57);
}

// --- time bounds, from the design's windows, counts and pauses ---

// One exchange at most: the write (all but the chip's 256 bytes), 100 ms of
// echo window and the reply window, each closing on a 1 ms poll of a
// millisecond tick.
double ExchangeMs(size_t length, uint32_t timeoutMs) {
  const double write = length > 256 ? (length - 256) * 0.2604167 : 0;
  return write + 104 + timeoutMs + 3;
}
constexpr double kDetectAttemptBoundMs = 2500 + 12;            // last pass: 6 ms sleep, a probe's write
const double kGetInfoBoundMs = 5 * (ExchangeMs(255, 200) + 25);  // each failure adds a 20 ms probe
double ProgramBoundMs(const ImageFacts& facts) {
  double ms = 5;
  for (size_t i = 0; i < facts.writes.size(); ++i)
    ms += 5 * (ExchangeMs(facts.writes[i].size(), facts.timeoutsMs[i]) + 201);
  if (!facts.commit.empty()) ms += 5 * (ExchangeMs(facts.commit.size(), 200) + 201);
  return ms;
}

// --- the host's frames, read back from what it put on the line ---

enum class FrameKind { kProbe, kGetInfo, kBridge, kWrite, kCommit, kAfterStop };

struct HostFrame {
  FrameKind kind;
  int slot = -1, index = -1;
  Nanos first, last;     // its first and last byte reached the far end
  size_t begin, end;     // indices in LineFaults::hostSent
};

struct KnownFrame {
  FrameKind kind;
  int slot, index;
  const Bytes* bytes;
};

}  // namespace

class Run {
 public:
  Run(const Scenario& sc, bool verbose) : sc_(sc), verbose_(verbose), random_(sc.seed ^ 0xC0FFEE1234ull) {}

  RunResult Go();

 private:
  // --- setup ---
  sim::Tq410* MakeDevice(const DevicePlan& plan);
  void PlugUnit(int unit, Nanos t, bool boot);
  void NoteLine(Nanos t);
  void ArmEvents();
  void Fire(const Event& e, Nanos t);
  void Tick(Nanos t);

  // --- invariants as the run goes ---
  void OnLog();
  void CheckSuccess();
  void CheckDevice(const sim::Tq410* device, const char* who);
  void OperatorUnplugs(Nanos t);
  void CheckCommits();

  // --- invariants over the whole record ---
  void CheckHostFrames();
  void CheckQuestions(bool returned);

  void Fail(const std::string& what);
  void Say(Nanos t, const std::string& text) {
    if (verbose_) std::printf("%12.3f ms  %s\n", Ms(t), text.c_str());
  }
  uint64_t& Figure(const std::string& name) { return result_.figures[name]; }

  const Scenario& sc_;
  bool verbose_;
  FaultRandom random_;
  RunResult result_;
  sim::World* world_ = nullptr;
  std::unique_ptr<sim::LineFaults> faults_;
  std::deque<sim::Tq410> devices_;  // stable addresses: the world and the relays keep pointers
  std::map<const sim::Tq410*, const DevicePlan*> plans_;
  sim::Tq410* front_ = nullptr;
  sim::Tq410* behind_ = nullptr;
  int unit_ = 0, nextUnit_ = 1;
  std::vector<ImageFacts> facts_;  // per slot
  LogRecorder log_;
  std::vector<Event> pendingByBytes_;

  enum class Phase { kAdapterWait, kCycle, kAfterError, kAfterSuccess, kStopped };
  Phase phase_ = Phase::kAdapterWait;
  Nanos phaseSince_ = 0;
  Nanos adapterPresentSince_ = 0;
  Nanos silentSince_ = kNever;
  double cycleBoundMs_ = 0;
  int cycles_ = 0;
  bool bridgeThisCycle_ = false;
  sim::Tq410* bridged_ = nullptr;
  std::string lastError_;
  std::map<const sim::Tq410*, uint16_t> levelAtStart_;
  std::map<const sim::Tq410*, size_t> commitsAtStart_;
  std::map<const sim::Tq410*, size_t> commitsSeen_;
  uint64_t commitsTotal_ = 0;
  std::map<const sim::Tq410*, uint16_t> levelSeen_;  // the level before its latest commit
  bool operatorOut_ = false;
  Nanos lastOperatorUnplug_ = 0;
  std::vector<Nanos> successes_, cycleStarts_;
  double longestCycleMs_ = 0;
};

void Run::Fail(const std::string& what) {
  if (result_.passed) {
    result_.passed = false;
    result_.failure = what;
  }
  Say(world_ != nullptr ? world_->Now() : 0, "INVARIANT BROKEN: " + what);
  // End the run at the next look at the clock.
  sim::TheHost().deadline = world_ != nullptr ? world_->Now() : 0;
  phase_ = Phase::kStopped;
}

sim::Tq410* Run::MakeDevice(const DevicePlan& plan) {
  sim::Tq410& d = devices_.emplace_back();
  d.identity = plan.identity;
  d.infoPayloadLength = plan.infoPayloadLength;
  d.keepFrames = false;
  if (plan.probeMiss > 0) {
    const uint64_t salt = random_.Next();
    const double miss = plan.probeMiss;
    d.answersProbe = [salt, miss](uint64_t n) { return !FaultRandom(salt ^ n * 0x9E3779B97F4A7C15ull).Chance(miss); };
  }
  for (const auto& refusal : plan.refusals) d.RefuseKey(refusal.key, refusal.times, refusal.code);
  plans_[&d] = &plan;
  levelAtStart_[&d] = d.identity.codeS;
  commitsAtStart_[&d] = 0;
  commitsSeen_[&d] = 0;
  levelSeen_[&d] = d.identity.codeS;
  return &d;
}

// A unit (device, and the one behind its bridge) becomes the far end of the line.
void Run::PlugUnit(int unit, Nanos t, bool boot) {
  unit_ = std::min<int>(unit, static_cast<int>(sc_.units.size()) - 1);
  const Unit& u = sc_.units[unit_];
  front_ = MakeDevice(u.front);
  behind_ = u.bridge ? MakeDevice(u.behind) : nullptr;
  if (behind_ != nullptr) front_->SetBehind(behind_);
  if (boot) {
    front_->plugged = false;
    front_->Plug(*world_, t);
  }
  front_->Attach(*world_);
  Figure("units plugged in") += 1;
}

// Keeps track of since when the device has been gone from the line (unplugged,
// or the adapter pulled out): the disconnect wait must end within a bound of it.
void Run::NoteLine(Nanos t) {
  const bool silent = !world_->present || front_ == nullptr || !front_->plugged;
  if (silent && silentSince_ == kNever) silentSince_ = t;
  if (!silent) silentSince_ = kNever;
}

void Run::ArmEvents() {
  for (const Event& e : sc_.events) {
    if (e.byBytes) {
      pendingByBytes_.push_back(e);
    } else {
      const Nanos t = e.at * kMs;
      world_->At(t, [this, e, t] { Fire(e, t); });
    }
  }
  std::sort(pendingByBytes_.begin(), pendingByBytes_.end(),
            [](const Event& a, const Event& b) { return a.at > b.at; });
  world_->trace = [this](Nanos t, sim::Direction direction, uint8_t) {
    CheckCommits();
    if (direction != sim::Direction::kToDevice) return;
    while (!pendingByBytes_.empty() && pendingByBytes_.back().at <= faults_->hostSent.size()) {
      const Event e = pendingByBytes_.back();
      pendingByBytes_.pop_back();
      world_->At(t, [this, e, t] { Fire(e, t); });
    }
  };
}

void Run::Fire(const Event& e, Nanos t) {
  const Nanos until = t + e.durationMs * kMs;
  Say(t, Format("event: %s (%llu%s)", EventName(e.kind), static_cast<unsigned long long>(e.durationMs),
                e.kind == EventKind::kBurst ? " bytes" : " ms"));
  Figure(std::string("fault: ") + EventName(e.kind)) += 1;
  switch (e.kind) {
    case EventKind::kDeviceUnplug: {
      sim::Tq410* device = front_;
      device->Unplug(*world_, t);
      faults_->DropHeld();
      NoteLine(t);
      world_->At(until, [this, device, e, until] {
        if (front_ != device || device->plugged) return;
        if (e.swap) {
          Figure("fault: another unit plugged in mid-run") += 1;
          PlugUnit(nextUnit_++, until, true);
        } else {
          device->Plug(*world_, until);
        }
        Say(until, e.swap ? "a different unit is plugged in" : "the device is plugged in again");
        NoteLine(until);
      });
      break;
    }
    case EventKind::kDeviceReset: {
      sim::Tq410* device = front_;
      device->OnResetLine(*world_, t, true);
      faults_->DropHeld();
      world_->At(until, [this, device, until] {
        if (!world_->resetAsserted) device->OnResetLine(*world_, until, false);
      });
      break;
    }
    case EventKind::kAdapterPull:
      faults_->MarkCut();
      world_->Unplug();
      NoteLine(t);
      world_->At(until, [this, until] {
        world_->Plug();
        adapterPresentSince_ = until;
        Say(until, "the adapter is plugged in again");
        NoteLine(until);
      });
      break;
    case EventKind::kStall:
      faults_->Stall(t, until);
      break;
    case EventKind::kStorm:
      faults_->storms.push_back({t, until});
      break;
    case EventKind::kBurst:
      faults_->Burst(t, e.durationMs);
      break;
  }
}

// The operator pulls the device some seconds after the outcome is shown, and
// plugs one in (the same or another) once the next cycle has begun.
void Run::OperatorUnplugs(Nanos t) {
  const Nanos at = t + random_.Between(sc_.operatorUnplugMinMs, sc_.operatorUnplugMaxMs) * kMs;
  world_->At(at, [this, at] {
    if (front_ != nullptr && front_->plugged) {
      front_->Unplug(*world_, at);
      faults_->DropHeld();
      lastOperatorUnplug_ = at;
      Say(at, "operator unplugs the device");
    }
    operatorOut_ = true;
    NoteLine(at);
  });
}

// The watchdog: wherever the worker is, the design says when it must have
// moved on; a run that overstays is stuck.
void Run::Tick(Nanos t) {
  if (phase_ == Phase::kStopped) return;
  Nanos deadline = kNever;
  const char* what = "";
  switch (phase_) {
    case Phase::kAdapterWait:
      if (world_->present) {
        deadline = std::max(adapterPresentSince_, phaseSince_) + 300 * kMs;
        what = "an adapter is present but no cycle began";
      }
      break;
    case Phase::kCycle:
      deadline = phaseSince_ + static_cast<Nanos>(cycleBoundMs_ * kMs);
      what = "the update cycle overran the sum of its windows, attempts and pauses";
      break;
    case Phase::kAfterError:
      if (silentSince_ != kNever) {
        deadline = std::max(phaseSince_ + 2000 * kMs, silentSince_) + 1000 * kMs;
        what = "after an error, the device is gone but the worker did not start again";
      }
      break;
    case Phase::kAfterSuccess:
      if (silentSince_ != kNever) {
        deadline = std::max(phaseSince_, silentSince_) + 1000 * kMs;
        what = "after a success, the device is gone but the worker neither asked nor went on";
      }
      break;
    case Phase::kStopped:
      break;
  }
  // An operator who still sees the device connected while told to disconnect
  // it pulls it (again) after a while.
  if ((phase_ == Phase::kAfterError || phase_ == Phase::kAfterSuccess) && front_ != nullptr && front_->plugged &&
      t - std::max(phaseSince_, lastOperatorUnplug_) > 8000 * kMs) {
    front_->Unplug(*world_, t);
    faults_->DropHeld();
    lastOperatorUnplug_ = t;
    operatorOut_ = true;
    Say(t, "operator unplugs the device still connected");
    NoteLine(t);
  }
  if (t > deadline) Fail(Format("stuck: %s (%.0f ms since %.0f ms)", what, Ms(t - phaseSince_), Ms(phaseSince_)));
  world_->At(t + 100 * kMs, [this, t] { Tick(t + 100 * kMs); });
}

void Run::CheckDevice(const sim::Tq410* device, const char* who) {
  const uint16_t level = levelAtStart_[device];
  const int slot = ExpectedSlot(sc_.set, static_cast<uint16_t>(device->identity.codeH),
                                static_cast<uint16_t>(device->identity.codeB), level);
  if (slot < 0) {
    Fail(Format("\"Update done o.k.\" but %s (H:%04X S:%04X) had no image to take (%s)", who,
                device->identity.codeH, level, slot == -2 ? "up to date" : "none fits"));
    return;
  }
  const ImageFacts& facts = facts_[slot];
  if (device->commits.size() <= commitsAtStart_[device]) {
    Fail(Format("\"Update done o.k.\" but %s made no commit in this cycle", who));
  } else if (device->flash != facts.flash) {
    Fail(Format("\"Update done o.k.\" but %s holds %zu bytes that differ from image %d (%zu bytes)", who,
                device->flash.size(), slot, facts.flash.size()));
  } else if (device->identity.codeS != facts.commitLevel) {
    Fail(Format("\"Update done o.k.\" but %s is at level %04X, not %04X", who, device->identity.codeS,
                facts.commitLevel));
  }
}

// Whatever the host reports: a device commits only the image chosen for its
// own identity (as it stood before the commit), byte for byte. A commit of
// another image installs firmware the device was not meant to get: another
// type's, or an older one. Checked after every byte on the line, so no commit
// goes by unseen.
void Run::CheckCommits() {
  if (phase_ == Phase::kStopped) return;
  uint64_t total = 0;
  for (const sim::Tq410& d : devices_) total += d.commits.size();
  if (total == commitsTotal_) return;
  commitsTotal_ = total;
  for (const sim::Tq410& d : devices_) {
    if (d.commits.size() == commitsSeen_[&d]) continue;
    commitsSeen_[&d] = d.commits.size();
    const uint16_t before = levelSeen_[&d];
    levelSeen_[&d] = static_cast<uint16_t>(d.identity.codeS);
    Figure("checks: commits verified against the device's identity") += 1;
    const int slot = ExpectedSlot(sc_.set, static_cast<uint16_t>(d.identity.codeH),
                                  static_cast<uint16_t>(d.identity.codeB), before);
    std::string what;
    if (slot < 0) {
      what = slot == -2 ? "although it was up to date" : "although no image fits it";
    } else if (d.flash != facts_[slot].flash || d.identity.codeS != facts_[slot].commitLevel) {
      what = Format("that is not image %d chosen for it", slot);
    }
    if (!what.empty()) {
      int got = -1;
      for (int k = 0; k < kImageSlots; ++k)
        if (facts_[k].valid && d.flash == facts_[k].flash) got = k;
      Fail(Format("device ID %u:%u (H:%04X B:%04X S:%04X) committed image %d (level %04X) %s", d.identity.idA,
                  d.identity.idB, d.identity.codeH, d.identity.codeB, before, got, d.identity.codeS, what.c_str()));
      return;
    }
  }
}

// "Update done o.k." only when every device programmed in this cycle has
// committed exactly the image chosen for it, byte for byte.
void Run::CheckSuccess() {
  Figure("checks: success verified against the device") += 1;
  if (front_ == nullptr) {
    Fail("\"Update done o.k.\" with no device on the line");
    return;
  }
  if (bridgeThisCycle_) {
    Figure("outcome: success through a bridge") += 1;
    // A lone device that answers the bridge frame is programmed in both
    // paths itself: the check of the device at the adapter covers it.
    if (bridged_ != nullptr) CheckDevice(bridged_, "the device behind the bridge");
  }
  CheckDevice(front_, "the device at the adapter");
}

void Run::OnLog() {
  CheckCommits();
  const LogEvent& e = log_.events().back();
  const Nanos t = world_->Now();
  if (verbose_) {
    const char* kind = e.kind == LogEvent::kAppend ? "line" : e.kind == LogEvent::kReplace ? "live" : "clear";
    if (e.kind != LogEvent::kReplace || e.text.rfind("Programming", 0) != 0 ||
        e.text.find("(  0%)") != std::string::npos || e.text.find("(100%)") != std::string::npos)
      Say(t, Format("%s \"%s\"", kind, e.text.c_str()));
  }
  if (phase_ == Phase::kStopped) return;

  if (e.kind == LogEvent::kClear) {
    if (phase_ == Phase::kCycle) {
      longestCycleMs_ = std::max(longestCycleMs_, Ms(t - phaseSince_));
      // The cycle gave 1: no device found, or the final frame saw no echo.
      Figure(lastError_ == "Device not detected." ? "outcome: device not detected (1)"
                                                  : "outcome: final frame without echo, started again (1)") += 1;
    }
    if (phase_ != Phase::kAdapterWait) {
      phase_ = Phase::kAdapterWait;
      phaseSince_ = t;
    }
    return;
  }
  if (e.kind != LogEvent::kAppend) return;
  const std::string& text = e.text;

  if (text == "USB adapter o.k.") {
    if (phase_ != Phase::kAdapterWait) Fail("a cycle began without clearing the log");
    ++cycles_;
    cycleStarts_.push_back(t);
    if (cycles_ > sc_.maxCycles) {
      phase_ = Phase::kStopped;
      sim::TheHost().deadline = t;
      return;
    }
    Figure("cycles") += 1;
    phase_ = Phase::kCycle;
    phaseSince_ = t;
    bridgeThisCycle_ = false;
    bridged_ = nullptr;
    lastError_.clear();
    for (const sim::Tq410& d : devices_) {
      levelAtStart_[&d] = static_cast<uint16_t>(d.identity.codeS);
      commitsAtStart_[&d] = d.commits.size();
    }
    if (operatorOut_) {
      operatorOut_ = false;
      const Nanos at = t + random_.Between(200, 3000) * kMs;
      const bool swap = random_.Chance(sc_.operatorSwap);
      world_->At(at, [this, at, swap] {
        if (swap) {
          if (front_ != nullptr) front_->Unplug(*world_, at);
          faults_->DropHeld();
          PlugUnit(nextUnit_++, at, true);
        } else if (front_ != nullptr) {
          front_->Plug(*world_, at);
        }
        Say(at, swap ? "operator plugs in another unit" : "operator plugs the device in again");
        NoteLine(at);
      });
    }
    return;
  }
  if (text == "Bridge mode activated") {
    bridgeThisCycle_ = true;
    bridged_ = behind_;
    return;
  }
  if (text == "Device not detected." || text == "Error_GetDeviceInfo !!!" || text == "Error_flash_prog_1 !!!" ||
      text == "Device is up to date" || text == "Error: No update data found") {
    lastError_ = text;
    return;
  }
  if (text == "Update error. Try again please.") {
    if (phase_ != Phase::kCycle) Fail("\"Update error\" outside a cycle");
    const char* kind = lastError_ == "Error_GetDeviceInfo !!!"  ? "outcome: identity not read (7)"
                       : lastError_ == "Error_flash_prog_1 !!!" ? "outcome: frame refused five times (201)"
                       : lastError_ == "Device is up to date"   ? "outcome: up to date (122)"
                       : lastError_ == "Error: No update data found" ? "outcome: no image fits (121)"
                                                                      : "outcome: final frame not accepted (2)";
    Figure(kind) += 1;
    if (front_ != nullptr && front_->commits.size() > commitsAtStart_[front_])
      Figure("outcome: error reported although the device committed") += 1;
    // The identity read that worked without awaiting the echo leaves it so
    // for programming; on an echoing line every frame whose echo holds 0xAC
    // or 0xAD then hides its reply (the first-byte rule keeps the echo).
    if (lastError_ == "Error_flash_prog_1 !!!" && world_->echo && skipEcho != 0) {
      Figure("outcome: 201 with the echo not awaited on an echoing line") += 1;
      Say(t, "(programming ran with the echo not awaited on an echoing line)");
    }
    longestCycleMs_ = std::max(longestCycleMs_, Ms(t - phaseSince_));
    phase_ = Phase::kAfterError;
    phaseSince_ = t;
    OperatorUnplugs(t);
    return;
  }
  if (text == "Update done o.k.") {
    if (phase_ != Phase::kCycle) Fail("\"Update done o.k.\" outside a cycle");
    Figure("outcome: success (0)") += 1;
    CheckSuccess();
    if (!result_.passed) return;
    successes_.push_back(t);
    longestCycleMs_ = std::max(longestCycleMs_, Ms(t - phaseSince_));
    phase_ = Phase::kAfterSuccess;
    phaseSince_ = t;
    OperatorUnplugs(t);
    return;
  }
  if (text == "Disconnect device please." && phase_ != Phase::kAfterSuccess)
    Fail("\"Disconnect device please.\" without a success before it");
}

// Reads the host's frames back from its bytes and checks their order: every
// frame sent is one the release holds, unaltered; a programming run sends the
// image's frames in order from the first, each up to five times, and is given
// up only after five; the final frame goes out only after a complete run of
// its own image, only after a fresh identification that a device really
// answered, and never after a frame of the run that the device refused.
void Run::CheckHostFrames() {
  const auto& sent = faults_->hostSent;
  // The release's frames by key.
  std::map<uint8_t, std::vector<KnownFrame>> known;
  const Bytes getInfo(sc_.set.getInfoEntry + 2, sc_.set.getInfoEntry + 2 + sc_.set.getInfoEntry[1]);
  const Bytes bridge(sc_.set.bridgeEntry + 2, sc_.set.bridgeEntry + 2 + sc_.set.bridgeEntry[1]);
  known[getInfo[1]].push_back({FrameKind::kGetInfo, -1, -1, &getInfo});
  known[bridge[1]].push_back({FrameKind::kBridge, -1, -1, &bridge});
  for (int slot = 0; slot < kImageSlots; ++slot) {
    if (sc_.set.imageTable[slot] == nullptr) continue;
    const ImageFacts& f = facts_[slot];
    for (size_t i = 0; i < f.writes.size(); ++i)
      known[f.writes[i][1]].push_back({FrameKind::kWrite, slot, static_cast<int>(i), &f.writes[i]});
    if (!f.commit.empty()) known[f.commit[1]].push_back({FrameKind::kCommit, slot, -1, &f.commit});
    for (const Bytes& frame : f.afterStop) known[frame[1]].push_back({FrameKind::kAfterStop, slot, -1, &frame});
  }

  // Segments end where the adapter was pulled out: a frame may be cut short there.
  std::vector<size_t> ends = faults_->hostCuts;
  ends.push_back(sent.size());
  std::vector<HostFrame> frames;
  size_t i = 0;
  for (size_t end : ends) {
    while (i < end) {
      if (sent[i].byte != tq410::kCommandLead) {
        Fail(Format("the host sent byte %02X outside any frame (host byte %zu)", sent[i].byte, i));
        return;
      }
      size_t length = 0;
      if (i + 1 < end && sent[i + 1].byte == tq410::kProbe[1]) {
        length = sizeof tq410::kProbe;
      } else if (i + 5 <= end) {
        length = sent[i + 3].byte | sent[i + 4].byte << 8;
      }
      if (i + 5 <= end && length < tq410::kMinFrame && length != sizeof tq410::kProbe) {
        Fail(Format("the host sent a frame with length field %zu (host byte %zu)", length, i));
        return;
      }
      if (length == 0 || i + length > end) {
        i = end;  // cut short by the adapter's removal or by the end of the run
        break;
      }
      Bytes bytes(length);
      for (size_t k = 0; k < length; ++k) bytes[k] = sent[i + k].byte;
      HostFrame frame{FrameKind::kProbe, -1, -1, sent[i].t, sent[i + length - 1].t, i, i + length};
      bool found = false;
      if (sent[i + 1].byte == tq410::kProbe[1]) {
        found = std::equal(bytes.begin(), bytes.end(), tq410::kProbe);
      } else {
        for (const KnownFrame& k : known[bytes[1]]) {
          if (*k.bytes == bytes) {
            frame.kind = k.kind, frame.slot = k.slot, frame.index = k.index;
            found = true;
            break;
          }
        }
      }
      if (!found) {
        Fail(Format("the host sent a frame the release does not hold (key %02X, %zu bytes, at %.3f ms)", bytes[1],
                    length, Ms(sent[i].t)));
        return;
      }
      frames.push_back(frame);
      i += length;
    }
    i = end;
  }

  auto cutBetween = [&](size_t a, size_t b) {
    for (size_t c : faults_->hostCuts)
      if (c >= a && c <= b) return true;
    return false;
  };
  struct RunState {
    bool active = false, complete = false;
    int slot = -1, index = -1, sends = 0;
    Nanos start = 0, lastEnd = 0;
    size_t lastIndexEnd = 0;
  } run;
  struct Pending {
    bool active = false;
    int slot = -1;
    Nanos runStart = 0, runEnd = 0;
  } pending;
  int commitSends = 0, commitSlot = -1;
  const HostFrame* previous = nullptr;

  for (const HostFrame& f : frames) {
    Figure(f.kind == FrameKind::kProbe     ? "host frames: probes"
           : f.kind == FrameKind::kGetInfo ? "host frames: get-info"
           : f.kind == FrameKind::kBridge  ? "host frames: bridge"
           : f.kind == FrameKind::kWrite   ? "host frames: image frames"
                                           : "host frames: final frames") += 1;
    if (f.kind == FrameKind::kAfterStop) {
      Fail(Format("the host sent a frame of image %d that lies behind its stop entry", f.slot));
      return;
    }
    if (f.kind != FrameKind::kCommit) commitSends = 0;
    if (f.kind == FrameKind::kWrite) {
      pending.active = false;
      if (run.active) {
        if (f.slot == run.slot && f.index == run.index) {
          if (++run.sends > 5) {
            Fail(Format("frame %d of image %d sent more than five times in a row", f.index, f.slot));
            return;
          }
        } else if (f.slot == run.slot && f.index == run.index + 1) {
          run.index = f.index;
          run.sends = 1;
        } else {
          Fail(Format("image frame out of order: frame %d of image %d after frame %d of image %d", f.index, f.slot,
                      run.index, run.slot));
          return;
        }
      } else {
        if (f.index != 0) {
          Fail(Format("a programming run began with frame %d of image %d, not its first", f.index, f.slot));
          return;
        }
        if (previous == nullptr || previous->kind != FrameKind::kGetInfo) {
          Fail("a programming run began without an identification right before it");
          return;
        }
        run = RunState{true, false, f.slot, 0, 1, f.first, 0, 0};
      }
      run.lastEnd = f.last;
      run.lastIndexEnd = f.end;
      run.complete = run.index + 1 == static_cast<int>(facts_[run.slot].writes.size());
      previous = &f;
      continue;
    }
    if (run.active) {
      // The run ended here: given up after five sends of one frame, or complete.
      if (!run.complete && run.sends != 5 && !cutBetween(run.lastIndexEnd, f.begin)) {
        Fail(Format("a programming run of image %d stopped at frame %d after %d sends, not five", run.slot,
                    run.index, run.sends));
        return;
      }
      if (run.complete) pending = Pending{true, run.slot, run.start, run.lastEnd};
      if (!run.complete) Figure("checks: runs given up, final frame withheld") += 1;
      run.active = false;
    }
    if (f.kind == FrameKind::kCommit) {
      if (commitSends > 0 && f.slot == commitSlot) {
        if (++commitSends > 5) {
          Fail("the final frame sent more than five times in a row");
          return;
        }
        previous = &f;
        continue;
      }
      Figure("checks: final frames verified") += 1;
      if (!pending.active || pending.slot != f.slot) {
        Fail(Format("final frame of image %d sent without a complete run of that image before it", f.slot));
        return;
      }
      if (previous == nullptr || previous->kind != FrameKind::kGetInfo) {
        Fail("final frame sent without an identification right before it");
        return;
      }
      // A device really answered a get-info frame heard after the run's last frame.
      bool identified = false;
      for (const sim::Tq410& d : devices_) {
        if (plans_[&d]->infoPayloadLength < kInfoPayloadSize) continue;
        for (const sim::Tq410FrameRecord& r : d.frames)
          if (r.command == tq410::kGetInfo && r.outcome == sim::Tq410Outcome::kAccepted &&
              r.received > pending.runEnd && r.replyReady != kNever && r.replyReady < f.first)
            identified = true;
      }
      if (!identified) {
        Fail(Format("final frame at %.3f ms before any device answered a fresh identification", Ms(f.first)));
        return;
      }
      // No frame of this run was refused by the device that took it.
      const ImageFacts& facts = facts_[f.slot];
      for (const sim::Tq410& d : devices_) {
        for (const sim::Tq410FrameRecord& r : d.frames) {
          if (r.outcome != sim::Tq410Outcome::kRefused || r.received < pending.runStart || r.received > f.first)
            continue;
          for (const Bytes& w : facts.writes)
            if (w[1] == r.key && w[2] == r.command) {
              Fail(Format("final frame sent although the device refused frame key %02X of the run at %.3f ms", r.key,
                          Ms(r.received)));
              return;
            }
        }
      }
      pending.active = false;
      commitSends = 1;
      commitSlot = f.slot;
      previous = &f;
      continue;
    }
    if (f.kind == FrameKind::kBridge) pending.active = false;
    previous = &f;
  }
}

// The question follows a success and nothing else; after a Yes the worker goes
// on, after anything else it posts Exit once and ends.
void Run::CheckQuestions(bool returned) {
  const auto& host = sim::TheHost();
  size_t s = 0;
  for (const auto& q : host.questions) {
    if (q.text != "Update another device?" || q.caption != "Update done o.k." || q.owner != mainWindow) {
      Fail("question with the wrong text, caption or owner");
      return;
    }
    // The latest success before it, with no cycle begun in between.
    while (s + 1 < successes_.size() && successes_[s + 1] <= q.t) ++s;
    if (s >= successes_.size() || successes_[s] > q.t) {
      Fail(Format("question at %.3f ms without a success before it", Ms(q.t)));
      return;
    }
    for (Nanos c : cycleStarts_)
      if (c > successes_[s] && c < q.t) {
        Fail(Format("question at %.3f ms belongs to no success of its cycle", Ms(q.t)));
        return;
      }
    ++s;
  }
  Figure("checks: questions") += host.questions.size();
  if (returned) {
    if (host.questions.size() != static_cast<size_t>(sc_.yesAnswers) + 1) {
      Fail(Format("the worker ended after %zu questions, not %d", host.questions.size(), sc_.yesAnswers + 1));
    } else if (host.posted.size() != 1 || host.posted[0].command != kExitCommand ||
               host.posted[0].window != mainWindow || host.posted[0].t < host.questions.back().t) {
      Fail("the worker ended without posting Exit once, after the last question");
    }
    Figure("outcome: operator answered No, Exit posted") += 1;
  } else if (!host.posted.empty()) {
    Fail("Exit posted although every question was answered Yes");
  } else if (host.questions.size() > static_cast<size_t>(sc_.yesAnswers)) {
    Fail("the worker went on after a No");
  }
}

RunResult Run::Go() {
  world_ = &sim::ResetSimulation();
  ResetLogic(&sc_.set);
  for (int slot = 0; slot < kImageSlots; ++slot)
    facts_.push_back(sc_.set.imageTable[slot] != nullptr ? ReadImage(sc_.set.imageTable[slot]) : ImageFacts{});

  double program = 0;
  for (const ImageFacts& f : facts_)
    if (f.valid) program = std::max(program, ProgramBoundMs(f));
  const double exchange40 = ExchangeMs(40, 200);
  cycleBoundMs_ = 25 + 10 * kDetectAttemptBoundMs + kGetInfoBoundMs + 3 * exchange40 +
                  (kDetectAttemptBoundMs + 2 * kGetInfoBoundMs + program) + 225 + 2 * kGetInfoBoundMs + program;
  cycleBoundMs_ = cycleBoundMs_ * 1.02 + 500;

  world_->echo = sc_.echo;
  faults_ = std::make_unique<sim::LineFaults>(*world_, sc_.seed * 31 + 7);
  faults_->toDevice = sc_.toDevice;
  faults_->toHost = sc_.toHost;
  faults_->storm = sc_.storm;
  world_->fault = faults_.get();
  PlugUnit(0, 0, false);
  ArmEvents();
  world_->At(100 * kMs, [this] { Tick(100 * kMs); });

  for (int n = 0; n < sc_.yesAnswers; ++n) sim::TheHost().answers.push_back(kHostAnswerYes);
  log_.Start();
  mainWindow = reinterpret_cast<void*>(0x4D57);
  sim::TheHost().onRepaint = [this, inner = sim::TheHost().onRepaint] {
    inner();
    OnLog();
  };
  constexpr Nanos kSafety = 4ull * 3600 * 1000 * kMs;
  sim::TheHost().deadline = kSafety;

  if (verbose_) std::printf("%s", sc_.Describe().c_str());
  bool returned = false;
  try {
    UpdateWorker(nullptr);
    returned = true;
    Say(world_->Now(), "the worker returned");
  } catch (const sim::DeadlineReached&) {
    if (phase_ != Phase::kStopped) Fail("the run did not reach its last cycle in 4 hours of virtual time");
  }
  sim::TheHost().onRepaint = nullptr;
  world_->trace = nullptr;

  if (result_.passed) CheckHostFrames();
  if (result_.passed) CheckQuestions(returned);

  // Figures.
  const auto& c = faults_->counts;
  Figure("seeds") = 1;
  Figure("virtual ms") = world_->Now() / kMs;
  Figure("fault: bits flipped") += c.flipped;
  Figure("fault: bytes dropped") += c.dropped;
  Figure("fault: bytes duplicated") += c.duplicated;
  Figure("fault: bytes inserted") += c.inserted;
  Figure("fault: garbage bytes at the chip") += c.burstBytes;
  Figure("fault: bytes held by stalls") += c.stalledBytes;
  Figure(sc_.echo ? "line: echoing" : "line: not echoing") = 1;
  Figure(std::string("line noise: ") + sc_.noise) = 1;
  if (sc_.carried) Figure("release: carried") = 1;
  for (const sim::Tq410& d : devices_) {
    Figure("device: scripted refusals and wrong codes") += d.counters.scriptedRefusals;
    Figure("device: frames refused (R7)") += d.counters.blocksRefused + d.counters.commitsRefused;
    Figure("device: damaged frames dropped") += d.counters.framesCorrupt + d.counters.framesStalled;
    Figure("device: commits") += d.counters.commits;
    Figure("device: bridges entered") += d.counters.bridgesEntered;
    const DevicePlan* plan = plans_[&d];
    Figure(plan->level == Level::kOld     ? "device level: old"
           : plan->level == Level::kEqual ? "device level: equal"
           : plan->level == Level::kNewer ? "device level: newer"
                                          : "device level: unknown type") += 1;
    if (plan->falseAck) Figure("fault: false acknowledgements scripted") += 1;
  }
  Figure("host bytes sent") += faults_->hostSent.size();
  Figure("longest cycle ms") = static_cast<uint64_t>(longestCycleMs_);
  if (verbose_) {
    std::printf("figures:\n");
    for (const auto& [name, value] : result_.figures) std::printf("  %s: %llu\n", name.c_str(), static_cast<unsigned long long>(value));
  }

  // The world holds pointers into this run's devices and faults: drop them now.
  sim::ResetSimulation();
  return result_;
}

RunResult RunSeed(uint64_t seed, bool verbose) {
  Scenario scenario;
  Draw(seed, scenario);
  Run run(scenario, verbose);
  return run.Go();
}

}  // namespace campaign
