#include "tests/campaign/scenario.h"

#include <cstdio>

#include "tests/test_release.h"

namespace campaign {

using sim::FaultRandom;

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

constexpr uint16_t kTypes[] = {0x0A21, 0x0A22, 0x0A23};
constexpr uint16_t kDeviceB = 0x0235;
constexpr uint16_t kAnyLevel = 0xFEED;

}  // namespace

ImageFacts ReadImage(const uint8_t* image) {
  ImageFacts facts;
  facts.marker = image[0];
  facts.valid = image[0] == 0x01;
  facts.h = Le16(image + 6);
  facts.b = Le16(image + 8);
  facts.s = Le16(image + 10);
  const uint8_t* entry = image + 16;
  bool stopped = false;
  for (int count = 0; count < 4100; ++count) {
    const int type = entry[0] & 0x0F;
    if (type == 0) break;  // the end entry is one byte: read nothing after it
    if (type >= 6) {
      entry += 2;
      continue;
    }
    const size_t length = static_cast<size_t>(entry[0] >> 4) << 8 | entry[1];
    const Bytes frame(entry + 2, entry + 2 + length);
    if (type == 4) {
      stopped = true;
    } else if (stopped) {
      facts.afterStop.push_back(frame);
    } else if (type == 3) {
      facts.commit = frame;
      if (frame.size() >= 7) facts.commitLevel = Le16(&frame[5]);
    } else {
      facts.writes.push_back(frame);
      facts.timeoutsMs.push_back(type == 2 ? 800 : 200);
      // The device stages a block at address 0 afresh, or at the end of what it holds.
      if (frame.size() >= 11) {
        const uint32_t address = Le32(&frame[5]);
        if (address == 0) facts.flash.clear();
        if (address == facts.flash.size())
          facts.flash.insert(facts.flash.end(), frame.begin() + 9, frame.end() - 2);
      }
    }
    entry += 2 + length;
  }
  return facts;
}

int ExpectedSlot(const UpdateDataSet& set, uint16_t h, uint16_t b, uint16_t s) {
  for (int slot = 0; slot < kImageSlots; ++slot) {
    const uint8_t* image = set.imageTable[slot];
    if (image == nullptr || image[0] != 0x01) continue;
    const uint16_t imageS = Le16(image + 10);
    if (Le16(image + 6) != h || Le16(image + 8) != b) continue;
    if (s <= imageS || imageS == kAnyLevel) return s == imageS ? -2 : slot;
  }
  return -1;
}

const char* EventName(EventKind kind) {
  switch (kind) {
    case EventKind::kDeviceUnplug: return "device unplugged";
    case EventKind::kDeviceReset: return "device reset";
    case EventKind::kAdapterPull: return "adapter pulled out";
    case EventKind::kStall: return "device stalls";
    case EventKind::kStorm: return "noise storm";
    case EventKind::kBurst: return "garbage burst";
  }
  return "?";
}

void Scenario::Bind() {
  if (carried) {
    set = carriedDataSet;
    return;
  }
  for (int k = 0; k < kImageSlots; ++k) {
    const bool filled = !images[k].empty();
    set.imageTable[k] = filled ? images[k].data() : nullptr;
    set.nameTable[k] = filled ? names[k].c_str() : nullptr;
    set.versionTable[k] = filled ? versions[k] : nullptr;
  }
  set.getInfoEntry = getInfoEntry.data();
  set.bridgeEntry = bridgeEntry.data();
}

namespace {

// An image in the device's grammar: write blocks (types 1, 2 and 5 with the
// matching command), no-op entries here and there, the final frame somewhere
// in the stream, and perhaps a stop entry with frames after it that must never
// be sent.
Bytes MakeImage(FaultRandom& r, uint8_t marker, uint16_t h, uint16_t b, uint16_t s, uint32_t dataSeed) {
  using test_release::Entry;
  Bytes bytes = {marker, 0, 0, 0, 0, 0,
                 static_cast<uint8_t>(h), static_cast<uint8_t>(h >> 8),
                 static_cast<uint8_t>(b), static_cast<uint8_t>(b >> 8),
                 static_cast<uint8_t>(s), static_cast<uint8_t>(s >> 8),
                 0xFF, 0xFF, 0xFF, 0xFF};
  size_t writes = r.Between(1, 6);
  if (r.Chance(0.12)) writes = r.Between(7, 30);
  const size_t commitAt = r.Below(writes + 1);  // the final frame's place among the writes
  const bool stop = r.Chance(0.1);

  int entryIndex = 0;
  Bytes flash;
  auto addWrite = [&](size_t k, bool afterStop) {
    size_t size = r.Chance(0.85) ? r.Between(1, 300) : r.Between(301, 2067);
    const double kind = r.Unit();
    const int type = kind < 0.8 ? 1 : kind < 0.92 ? 5 : 2;
    const uint8_t command = type == 1 ? tq410::kWrite : type == 5 ? tq410::kWriteR5 : tq410::kWriteLong;
    const Bytes data = test_release::BlockData(size, dataSeed * 7919 + static_cast<uint32_t>(k));
    const uint32_t address = afterStop ? static_cast<uint32_t>(flash.size() + 4096) : static_cast<uint32_t>(flash.size());
    const Bytes frame = test_release::WriteFrame(tq410::ImageFrameKey(entryIndex++), command, address, data);
    if (!afterStop) flash.insert(flash.end(), data.begin(), data.end());
    const Bytes e = Entry(type, frame);
    bytes.insert(bytes.end(), e.begin(), e.end());
  };
  auto maybeNoOp = [&] {
    if (!r.Chance(0.1)) return;
    bytes.push_back(static_cast<uint8_t>(r.Between(6, 15) | r.Below(16) << 4));
    bytes.push_back(static_cast<uint8_t>(r.Next()));
    ++entryIndex;
  };
  // The commit needs the flash it checks, so its entry is written once the
  // data is known and spliced in at its place.
  size_t commitOffset = 0;
  int commitIndex = -1;
  for (size_t k = 0; k < writes; ++k) {
    maybeNoOp();
    if (k == commitAt) {
      commitOffset = bytes.size();
      commitIndex = entryIndex++;
    }
    addWrite(k, false);
  }
  if (commitIndex < 0) {
    commitOffset = bytes.size();
    commitIndex = entryIndex++;
  }
  const size_t commitLength = r.Chance(0.8) ? 170 : r.Between(17, 400);
  const Bytes commit = test_release::CommitFrame(tq410::ImageFrameKey(commitIndex), s,
                                                 static_cast<uint16_t>(writes), flash, commitLength);
  const Bytes commitEntry = Entry(3, commit);
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(commitOffset), commitEntry.begin(), commitEntry.end());
  maybeNoOp();
  if (stop) {
    const Bytes e = Entry(4, r.Chance(0.5) ? Bytes{} : Bytes{0x35, 0x00});
    bytes.insert(bytes.end(), e.begin(), e.end());
    ++entryIndex;
    for (size_t k = 0; k < r.Between(1, 2); ++k) addWrite(1000 + k, true);
  }
  bytes.push_back(0x00);
  return bytes;
}

uint16_t LevelFor(FaultRandom& r, Level level, uint16_t imageS) {
  const uint16_t base = imageS == kAnyLevel ? static_cast<uint16_t>(r.Between(0x0100, 0x0160)) : imageS;
  switch (level) {
    case Level::kOld: return static_cast<uint16_t>(base - r.Between(1, 0x30));
    case Level::kEqual: return imageS;
    case Level::kNewer: return static_cast<uint16_t>(base + r.Between(1, 0x30));
    case Level::kUnknownType: return static_cast<uint16_t>(r.Between(0x0100, 0x0160));
  }
  return base;
}

DevicePlan DrawDevice(FaultRandom& r, const Scenario& sc) {
  DevicePlan d;
  d.identity.idA = static_cast<uint16_t>(r.Next());
  d.identity.idB = static_cast<uint16_t>(r.Next());
  std::vector<int> valid;
  for (int k = 0; k < kImageSlots; ++k)
    if (sc.set.imageTable[k] != nullptr && sc.set.imageTable[k][0] == 0x01) valid.push_back(k);
  if (valid.empty() || r.Chance(0.12)) {
    d.level = Level::kUnknownType;
    d.identity.codeH = r.Chance(0.1) ? 0 : static_cast<uint16_t>(0x0B00 + r.Below(16));
    d.identity.codeB = kDeviceB;
    d.identity.codeS = LevelFor(r, d.level, 0);
  } else {
    const uint8_t* image = sc.set.imageTable[valid[r.Below(valid.size())]];
    const double p = r.Unit();
    d.level = p < 0.68 ? Level::kOld : p < 0.85 ? Level::kEqual : Level::kNewer;
    d.identity.codeH = Le16(image + 6);
    d.identity.codeB = Le16(image + 8);
    d.identity.codeS = LevelFor(r, d.level, Le16(image + 10));
  }
  const double info = r.Unit();
  if (info < 0.03) d.infoPayloadLength = r.Between(2, 16);
  else if (info < 0.07) d.infoPayloadLength = r.Between(18, 60);
  if (r.Chance(0.2)) d.probeMiss = r.Unit() * 0.6;

  if (r.Chance(0.25)) {
    const int slot = ExpectedSlot(sc.set, d.identity.codeH, d.identity.codeB, d.identity.codeS);
    const ImageFacts facts = slot >= 0 ? ReadImage(sc.set.imageTable[slot]) : ImageFacts{};
    for (size_t n = r.Between(1, 2); n > 0; --n) {
      DevicePlan::Refusal refusal{};
      refusal.times = static_cast<int>(r.Between(1, 6));
      const double which = r.Unit();
      static const uint8_t kWrongCodes[] = {'7', '7', '9', '1', '2', '5', '6', '8'};
      uint8_t code = r.Chance(0.4) ? 0 : kWrongCodes[r.Below(sizeof kWrongCodes)];
      if (which < 0.2) {
        refusal.key = tq410::kGetInfoKey;
      } else if (which < 0.3) {
        refusal.key = tq410::kBridgeKey;
      } else if (which < 0.8 && !facts.writes.empty()) {
        const Bytes& frame = facts.writes[r.Below(facts.writes.size())];
        refusal.key = frame[1];
        const uint8_t own = frame[2] == tq410::kWriteR5 ? '5' : '8';
        if (r.Chance(0.25)) code = own;  // says done, does nothing
        d.falseAck = d.falseAck || code == own;
      } else if (!facts.commit.empty()) {
        refusal.key = facts.commit[1];
        // A device that acknowledges a commit it did not make lies about the
        // one thing the updater must take its word for: outside the model.
        if (code == '6') code = '7';
      } else {
        refusal.key = tq410::ImageFrameKey(static_cast<int>(r.Below(8)));
      }
      refusal.code = code;
      d.refusals.push_back(refusal);
    }
  }
  return d;
}

sim::FaultRates DrawRates(FaultRandom& r, double scale) {
  sim::FaultRates rates;
  rates.flip = r.Unit() * scale;
  rates.drop = r.Unit() * scale;
  rates.duplicate = r.Unit() * scale;
  rates.insert = r.Unit() * scale;
  return rates;
}

}  // namespace

void Draw(uint64_t seed, Scenario& sc) {
  FaultRandom r(seed * 0x2545F4914F6CDD1Dull + 0x1234567);
  sc = Scenario();
  sc.seed = seed;

  // The release.
  sc.carried = r.Chance(0.015);
  if (!sc.carried) {
    sc.getInfoEntry = test_release::Entry(1, test_release::GetInfoFrame());
    sc.bridgeEntry = test_release::Entry(1, test_release::BridgeFrame());
    const size_t filled = r.Between(1, 3);
    for (size_t n = 0; n < filled; ++n) {
      const int slot = static_cast<int>(r.Below(kImageSlots));
      if (!sc.images[slot].empty()) continue;
      const uint16_t h = kTypes[r.Below(3)];
      const uint16_t b = r.Chance(0.08) ? kDeviceB + 1 : kDeviceB;
      const uint16_t s = r.Chance(0.06) ? kAnyLevel : static_cast<uint16_t>(r.Between(0x0110, 0x0150));
      sc.images[slot] = MakeImage(r, 0x01, h, b, s, static_cast<uint32_t>(seed * 4 + slot));
      sc.names[slot] = "TQ410_" + std::to_string(slot);
      sc.versions[slot][0] = static_cast<uint8_t>(s);
      sc.versions[slot][1] = static_cast<uint8_t>(s >> 8);
    }
    if (r.Chance(0.12)) {  // a slot passed over: disabled, or with a bad marker
      const int slot = static_cast<int>(r.Below(kImageSlots));
      if (sc.images[slot].empty()) {
        const uint8_t marker = r.Chance(0.5) ? 0xFE : static_cast<uint8_t>(r.Between(2, 0xFD));
        sc.images[slot] = MakeImage(r, marker, kTypes[r.Below(3)], kDeviceB, 0x0150,
                                    static_cast<uint32_t>(seed * 4 + slot));
        sc.names[slot] = "TQ410_X";
      }
    }
  }
  sc.Bind();

  // The units that will be plugged in.
  for (int n = 0; n < 5; ++n) {
    Unit unit;
    unit.front = DrawDevice(r, sc);
    unit.bridge = r.Chance(0.2);
    if (unit.bridge) unit.behind = DrawDevice(r, sc);
    sc.units.push_back(unit);
  }
  sc.operatorSwap = r.Unit();

  // The line.
  sc.echo = r.Chance(0.7);
  const double noise = r.Unit();
  if (noise < 0.3) {
    sc.noise = "clean";
  } else if (noise < 0.6) {
    sc.noise = "light";
    sc.toDevice = DrawRates(r, 2e-4);
    sc.toHost = DrawRates(r, 2e-4);
  } else if (noise < 0.85) {
    sc.noise = "moderate";
    sc.toDevice = DrawRates(r, 2e-3);
    sc.toHost = DrawRates(r, 2e-3);
  } else {
    sc.noise = "heavy";
    sc.toDevice = DrawRates(r, 1e-2);
    sc.toHost = DrawRates(r, 1e-2);
  }
  sc.storm = DrawRates(r, 0.1);

  // Events, most of them placed by the host's traffic so that they strike
  // in the middle of identification and programming.
  uint64_t traffic = 3000;
  for (const Unit& unit : sc.units) {
    const int slot = ExpectedSlot(sc.set, unit.front.identity.codeH, unit.front.identity.codeB,
                                  unit.front.identity.codeS);
    if (slot >= 0) {
      for (const Bytes& frame : ReadImage(sc.set.imageTable[slot]).writes) traffic += frame.size();
      break;
    }
  }
  const double many = r.Unit();
  const int events = many < 0.25 ? 0 : many < 0.65 ? 1 : many < 0.85 ? 2 : 3;
  for (int n = 0; n < events; ++n) {
    Event e{};
    e.kind = static_cast<EventKind>(r.Below(6));
    e.byBytes = r.Chance(0.75);
    e.at = e.byBytes ? r.Below(traffic * 2) : r.Below(60000);
    switch (e.kind) {
      case EventKind::kDeviceUnplug: e.durationMs = r.Between(100, 4000); e.swap = r.Chance(0.4); break;
      case EventKind::kDeviceReset: e.durationMs = r.Between(1, 40); break;
      case EventKind::kAdapterPull: e.durationMs = r.Between(100, 8000); break;
      case EventKind::kStall: e.durationMs = r.Between(50, 1500); break;
      case EventKind::kStorm: e.durationMs = r.Between(20, 3000); break;
      case EventKind::kBurst: e.durationMs = r.Between(1, 400); break;
    }
    sc.events.push_back(e);
  }

  sc.maxCycles = static_cast<int>(r.Between(2, 4));
  sc.yesAnswers = static_cast<int>(r.Below(3));
}

namespace {
const char* LevelName(Level level) {
  switch (level) {
    case Level::kOld: return "old";
    case Level::kEqual: return "equal";
    case Level::kNewer: return "newer";
    case Level::kUnknownType: return "unknown type";
  }
  return "?";
}

std::string DescribeDevice(const DevicePlan& d) {
  char text[300];
  std::snprintf(text, sizeof text, "H:%04X B:%04X S:%04X (%s), get-info payload %zu, probe miss %.2f",
                d.identity.codeH, d.identity.codeB, d.identity.codeS, LevelName(d.level),
                d.infoPayloadLength, d.probeMiss);
  std::string out = text;
  for (const auto& refusal : d.refusals) {
    std::snprintf(text, sizeof text, "; refuses key %02X %d times with %s%c", refusal.key, refusal.times,
                  refusal.code ? "R" : "silence", refusal.code ? refusal.code : ' ');
    out += text;
  }
  return out;
}
}  // namespace

std::string Scenario::Describe() const {
  std::string out;
  char text[400];
  std::snprintf(text, sizeof text, "seed 0x%llx: %s release, line %s, noise %s, %d cycles, %d Yes\n",
                static_cast<unsigned long long>(seed), carried ? "carried" : "generated",
                echo ? "echoing" : "not echoing", noise, maxCycles, yesAnswers);
  out += text;
  for (int k = 0; k < kImageSlots; ++k) {
    if (set.imageTable[k] == nullptr) continue;
    const ImageFacts facts = ReadImage(set.imageTable[k]);
    size_t bytes = 0;
    for (const Bytes& frame : facts.writes) bytes += frame.size();
    std::snprintf(text, sizeof text,
                  "  slot %d: marker %02X H:%04X B:%04X S:%04X, %zu frames (%zu bytes), final frame %zu bytes\n", k,
                  facts.marker, facts.h, facts.b, facts.s, facts.writes.size(), bytes, facts.commit.size());
    out += text;
  }
  for (size_t n = 0; n < units.size(); ++n) {
    out += "  unit " + std::to_string(n) + ": " + DescribeDevice(units[n].front) + "\n";
    if (units[n].bridge) out += "    behind its bridge: " + DescribeDevice(units[n].behind) + "\n";
  }
  for (const Event& e : events) {
    std::snprintf(text, sizeof text, "  event: %s at %s %llu, %llu%s%s\n", EventName(e.kind),
                  e.byBytes ? "host byte" : "ms", static_cast<unsigned long long>(e.at),
                  static_cast<unsigned long long>(e.durationMs), e.kind == EventKind::kBurst ? " bytes" : " ms",
                  e.swap ? ", another unit plugged in" : "");
    out += text;
  }
  return out;
}

}  // namespace campaign
