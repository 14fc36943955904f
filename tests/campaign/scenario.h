// One scenario of the fault campaign, drawn from a single 64-bit seed: the
// release the program carries, the devices that will be connected (with their
// identities, levels, bridges and misbehaviour), the line and its faults, the
// events that strike during the run, and how the operator behaves.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/line_faults.h"
#include "sim/tq410.h"
#include "update/update_data.h"

namespace campaign {

using Bytes = std::vector<uint8_t>;

// What an image does to a device, read from its bytes with the device's grammar.
struct ImageFacts {
  bool valid = false;           // marker 0x01
  uint8_t marker = 0;
  uint16_t h = 0, b = 0, s = 0;
  std::vector<Bytes> writes;    // frames sent, in order (types 1, 2, 5 before any stop)
  std::vector<uint32_t> timeoutsMs;
  Bytes commit;                 // the held-back final frame (type 3), empty if none
  Bytes flash;                  // what the device holds once all writes and the commit are done
  uint16_t commitLevel = 0;     // the level the commit gives the device
  std::vector<Bytes> afterStop; // frames behind a stop entry: never to be sent
};

// Walks an UpdateImage independently of the logic's helpers.
ImageFacts ReadImage(const uint8_t* image);

// The slot the program must choose for a device of this identity, -1 for none
// and -2 for "up to date" (the selection rules, written out again).
int ExpectedSlot(const UpdateDataSet& set, uint16_t h, uint16_t b, uint16_t s);

enum class Level { kOld, kEqual, kNewer, kUnknownType };

struct DevicePlan {
  sim::Tq410Identity identity;
  Level level = Level::kOld;
  size_t infoPayloadLength = 17;
  double probeMiss = 0;  // chance that a probe goes unanswered
  struct Refusal {
    uint8_t key;
    int times;
    uint8_t code;  // 0 no reply, else 'R' code
  };
  std::vector<Refusal> refusals;
  bool falseAck = false;  // some refusal answers a write with its own success code
};

// What is plugged in at one time: a device, and perhaps a second one behind
// its bridge.
struct Unit {
  DevicePlan front;
  bool bridge = false;
  DevicePlan behind;
};

enum class EventKind {
  kDeviceUnplug,  // the device loses power; plugged again later (perhaps another one)
  kDeviceReset,   // the device resets itself
  kAdapterPull,   // the USB adapter is pulled out, plugged in again later
  kStall,         // the device hears nothing for a while, then everything late
  kStorm,         // a window of heavy line noise
  kBurst,         // garbage at the chip
};
const char* EventName(EventKind kind);

struct Event {
  EventKind kind;
  bool byBytes;         // trigger: the host's n-th byte on the line, or a virtual time
  uint64_t at;          // byte count or milliseconds
  uint64_t durationMs;  // unplugged, reset held, stall or storm length; burst size for kBurst
  bool swap = false;    // kDeviceUnplug: another device is plugged in
};

struct Scenario {
  uint64_t seed = 0;

  // The release: generated, or (rarely) the carried one.
  bool carried = false;
  Bytes getInfoEntry, bridgeEntry;
  Bytes images[kImageSlots];
  std::string names[kImageSlots];
  uint8_t versions[kImageSlots][2] = {};
  UpdateDataSet set{};

  // Units: [0] is connected first; a swap, or the operator after an update,
  // plugs in the next one (the last one again when none is left).
  std::vector<Unit> units;
  double operatorSwap = 0.5;  // chance that the operator brings another unit

  bool echo = true;
  sim::FaultRates toDevice, toHost, storm;
  const char* noise = "clean";

  std::vector<Event> events;

  int maxCycles = 3;  // cycles started before the run is ended
  int yesAnswers = 0; // answers Yes this many times, then No
  uint64_t operatorUnplugMinMs = 300, operatorUnplugMaxMs = 6000;

  // Refreshes the pointers in `set`.
  void Bind();
  std::string Describe() const;
};

// Draws the whole scenario from `seed`.
void Draw(uint64_t seed, Scenario& scenario);

}  // namespace campaign
