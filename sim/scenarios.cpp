#include "sim/scenarios.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace sim {

namespace {

constexpr Nanos kSecond = 1000 * kMs;
constexpr uint16_t kOldLevel = 0x0100;
constexpr uint16_t kReleaseLevel = 0x013F;  // what release 01.20 brings

struct Model {
  const char* name;
  uint16_t codeH;
};
constexpr Model kEn = {"TQ410_EN", 0x0A21};
constexpr Model kCz = {"TQ410_CZ", 0x0A22};

// A line that now and then loses a byte or flips one of its bits, in both
// directions. Seeded, so the same bytes meet the same fate in every run.
struct NoisyLine final : LineFault {
  uint32_t state = 0x2545F491u;
  static constexpr uint32_t kOneIn = 40000;
  uint64_t lost = 0, garbled = 0;
  void Deliver(Direction direction, Nanos t, uint8_t byte, std::vector<uint8_t>& out) override {
    (void)direction, (void)t;
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    const uint32_t pick = state % kOneIn;
    if (pick == 0) {
      ++lost;
      return;
    }
    if (pick == 1) {
      ++garbled;
      byte = static_cast<uint8_t>(byte ^ (1u << (state >> 29)));  // one bit flipped
    }
    out.push_back(byte);
  }
};

}  // namespace

struct Scenario {
  std::string name;
  std::vector<std::unique_ptr<Tq410>> devices;
  std::vector<const char*> deviceNames;
  std::unique_ptr<NoisyLine> fault;
  std::function<void(Nanos, const std::string&)> notes;
  std::function<void(Scenario&, World&)> tick;  // the scenario's own reactions
  int stage = 0;
  bool adapterPulled = false;
  uint64_t generation = 0;
  std::vector<size_t> commitsSeen;  // per device, as last reported

  void Note(Nanos t, const std::string& text) {
    if (notes) notes(t, text);
  }

  Tq410& AddDevice(const Model& model, uint16_t level, uint16_t idA, uint16_t idB) {
    devices.push_back(std::make_unique<Tq410>());
    Tq410& device = *devices.back();
    device.identity.codeH = model.codeH;
    device.identity.codeS = level;
    device.identity.idA = idA;
    device.identity.idB = idB;
    device.keepFrames = false;  // runs can be long; the counters and commits say enough
    deviceNames.push_back(model.name);
    commitsSeen.push_back(0);
    return device;
  }

  std::string Label(size_t index) const {
    return "device " + std::to_string(index + 1) + " (" + deviceNames[index] + ")";
  }

  // Unplugs device `index` from the line `delay` from now.
  void UnplugLater(World& world, size_t index, Nanos delay) {
    const Nanos t = world.Now() + delay;
    world.At(t, [this, &world, index, t] {
      devices[index]->Unplug(world, t);
      Note(t, Label(index) + " unplugged");
    });
  }
};

namespace {

bool Updated(const Tq410& device) { return !device.commits.empty(); }

// One old TQ410_EN; unplugged three seconds after its update.
void OneDeviceUnpluggedAfterUpdate(Scenario& s, World& world) {
  Tq410& device = s.AddDevice(kEn, kOldLevel, 12, 345);
  device.Attach(world);
  s.tick = [](Scenario& sc, World& w) {
    if (sc.stage == 0 && Updated(*sc.devices[0])) {
      sc.stage = 1;
      sc.UnplugLater(w, 0, 3 * kSecond);
    }
  };
}

void SetUpReplace(Scenario& s, World& world) {
  Tq410& first = s.AddDevice(kEn, kOldLevel, 12, 345);
  Tq410& second = s.AddDevice(kEn, kOldLevel, 12, 346);
  second.plugged = false;  // not on the line yet
  first.Attach(world);
  s.tick = [](Scenario& sc, World& w) {
    if (sc.stage == 0 && Updated(*sc.devices[0])) {
      sc.stage = 1;
      sc.UnplugLater(w, 0, 3 * kSecond);
      const Nanos t = w.Now() + 8 * kSecond;
      w.At(t, [&sc, &w, t] {
        sc.devices[1]->Attach(w);
        sc.devices[1]->Plug(w, t);
        sc.Note(t, sc.Label(1) + " plugged in");
      });
    } else if (sc.stage == 1 && Updated(*sc.devices[1])) {
      sc.stage = 2;
      sc.UnplugLater(w, 1, 3 * kSecond);
    }
  };
}

void SetUpBridge(Scenario& s, World& world) {
  Tq410& front = s.AddDevice(kEn, kOldLevel, 12, 345);
  Tq410& behind = s.AddDevice(kCz, kOldLevel, 7, 89);
  front.SetBehind(&behind);
  front.Attach(world);
  s.tick = [](Scenario& sc, World& w) {
    if (sc.stage == 0 && Updated(*sc.devices[0]) && Updated(*sc.devices[1])) {
      sc.stage = 1;
      sc.UnplugLater(w, 1, 3 * kSecond);
      sc.UnplugLater(w, 0, 3 * kSecond);
    }
  };
}

void SetUpNoEcho(Scenario& s, World& world) {
  world.echo = false;
  OneDeviceUnpluggedAfterUpdate(s, world);
}

void SetUpNoisy(Scenario& s, World& world) {
  s.fault = std::make_unique<NoisyLine>();
  world.fault = s.fault.get();
  OneDeviceUnpluggedAfterUpdate(s, world);
}

void SetUpNoAdapter(Scenario& s, World& world) {
  world.present = false;
  s.AddDevice(kEn, kOldLevel, 12, 345).Attach(world);
}

void SetUpUpToDate(Scenario& s, World& world) {
  s.AddDevice(kEn, kReleaseLevel, 12, 345).Attach(world);
}

void SetUpRefuseBaud(Scenario& s, World& world) {
  world.refuse.baudRate = true;
  s.AddDevice(kEn, kOldLevel, 12, 345).Attach(world);
}

// The adapter is pulled out once twelve blocks have been written and put back
// six seconds later; the device stays on the cable and is updated afresh.
void SetUpPulledOut(Scenario& s, World& world) {
  OneDeviceUnpluggedAfterUpdate(s, world);
  auto afterUpdate = s.tick;
  s.tick = [afterUpdate](Scenario& sc, World& w) {
    if (!sc.adapterPulled && sc.devices[0]->counters.blocksAccepted >= 12) {
      sc.adapterPulled = true;
      const Nanos now = w.Now();
      w.Unplug();
      sc.Note(now, "adapter pulled out");
      const Nanos back = now + 6 * kSecond;
      w.At(back, [&sc, &w, back] {
        w.Plug();
        sc.Note(back, "adapter plugged in again");
      });
    }
    afterUpdate(sc, w);
  };
}

struct Entry {
  ScenarioInfo info;
  void (*setUp)(Scenario&, World&);
};

const std::vector<Entry>& Entries() {
  static const std::vector<Entry> entries = {
      {{"replace", "an old TQ410_EN, unplugged 3 s after its update; another one plugged in 5 s later"},
       SetUpReplace},
      {{"bridge", "an old TQ410_EN with an old TQ410_CZ behind its bridge"}, SetUpBridge},
      {{"no-echo", "an old TQ410_EN on a line that does not echo"}, SetUpNoEcho},
      {{"noisy", "an old TQ410_EN on a line that loses or garbles 1 byte in 20000"}, SetUpNoisy},
      {{"no-adapter", "no adapter plugged in"}, SetUpNoAdapter},
      {{"up-to-date", "a TQ410_EN already at the release's level"}, SetUpUpToDate},
      {{"refuse-baud", "an adapter that refuses the baud rate"}, SetUpRefuseBaud},
      {{"pulled-out", "the adapter pulled out in mid-update and put back 6 s later"}, SetUpPulledOut},
  };
  return entries;
}

}  // namespace

const std::vector<ScenarioInfo>& ScenarioList() {
  static const std::vector<ScenarioInfo> list = [] {
    std::vector<ScenarioInfo> out;
    for (const Entry& e : Entries()) out.push_back(e.info);
    return out;
  }();
  return list;
}

Scenario* StartScenario(const char* name, World& world) {
  if (name == nullptr || name[0] == '\0') name = Entries().front().info.name;
  for (const Entry& e : Entries()) {
    if (std::strcmp(e.info.name, name) != 0) continue;
    auto* scenario = new Scenario;  // lives as long as the process: the world points into it
    scenario->name = name;
    e.setUp(*scenario, world);
    return scenario;
  }
  return nullptr;
}

void EndScenario(Scenario* scenario, World& world) {
  world.peer = nullptr;
  world.fault = nullptr;
  world.timers.clear();
  delete scenario;
}

void TickScenario(Scenario& scenario, World& world) {
  for (size_t i = 0; i < scenario.devices.size(); ++i) {
    const Tq410& device = *scenario.devices[i];
    if (device.commits.size() == scenario.commitsSeen[i]) continue;
    scenario.commitsSeen[i] = device.commits.size();
    ++scenario.generation;
    const Tq410Commit& last = device.commits.back();
    char text[128];
    std::snprintf(text, sizeof text, " took firmware level %04X (%u bytes)", last.level,
                  static_cast<unsigned>(last.bytes));
    scenario.Note(last.t, scenario.Label(i) + text);
  }
  if (scenario.tick) scenario.tick(scenario, world);
}

void SetScenarioNotes(Scenario& scenario, std::function<void(Nanos, const std::string&)> notes) {
  scenario.notes = std::move(notes);
}

std::vector<std::string> DescribeDevices(const Scenario& scenario) {
  std::vector<std::string> out;
  for (size_t i = 0; i < scenario.devices.size(); ++i) {
    const Tq410& d = *scenario.devices[i];
    char line[256];
    std::snprintf(line, sizeof line,
                  "device %zu %s codeH=%04X codeB=%04X codeS=%04X commits=%zu firmware-bytes=%zu "
                  "firmware-crc=%04X",
                  i + 1, scenario.deviceNames[i], d.identity.codeH, d.identity.codeB, d.identity.codeS,
                  d.commits.size(), d.flash.size(), tq410::Crc16(d.flash.data(), d.flash.size()));
    out.push_back(line);
  }
  if (scenario.fault) {
    char line[96];
    std::snprintf(line, sizeof line, "line bytes-lost=%llu bytes-garbled=%llu",
                  static_cast<unsigned long long>(scenario.fault->lost),
                  static_cast<unsigned long long>(scenario.fault->garbled));
    out.push_back(line);
  }
  return out;
}

uint64_t ScenarioGeneration(const Scenario& scenario) { return scenario.generation; }

}  // namespace sim
