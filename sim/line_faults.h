// A faulty serial line for the simulated world: flipped bits, dropped,
// duplicated and inserted bytes at per-byte rates (higher inside storm
// windows), bursts of garbage at the chip, and stalls in which the device
// hears nothing and then hears everything at once, late.
//
// It also records what the two ends really sent, before any fault touched it:
// the host's bytes in the order the adapter put them on the line, and the far
// end's bytes in the order it sent them. Checks that must not trust what
// arrived read these.
//
// Deterministic: every decision comes from its own generator, seeded once.
#pragma once
#include <cstdint>
#include <vector>

#include "sim/world.h"

namespace sim {

// splitmix64: small, fast, and good enough to draw faults and scenarios.
struct FaultRandom {
  uint64_t state;
  explicit FaultRandom(uint64_t seed = 0) : state(seed) {}
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n); 0 when n is 0.
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
  // Uniform in [lo, hi].
  uint64_t Between(uint64_t lo, uint64_t hi) { return lo + Below(hi - lo + 1); }
  double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
  bool Chance(double p) { return Unit() < p; }
};

// Per-byte probabilities for one direction of the line.
struct FaultRates {
  double flip = 0;       // one bit of the byte inverted
  double drop = 0;       // the byte lost
  double duplicate = 0;  // the byte arrives twice
  double insert = 0;     // a random byte arrives before it
  bool Any() const { return flip > 0 || drop > 0 || duplicate > 0 || insert > 0; }
};

struct FaultCounts {
  uint64_t flipped = 0, dropped = 0, duplicated = 0, inserted = 0;
  uint64_t bursts = 0, burstBytes = 0;
  uint64_t stalls = 0, stalledBytes = 0;
};

struct SentByte {
  Nanos t;  // the byte reached the other end (before any fault)
  uint8_t byte;
};

struct LineFaults final : LineFault {
  LineFaults(World& world, uint64_t seed) : world(world), random(seed) {}

  FaultRates toDevice, toHost;  // outside storms
  FaultRates storm;             // both directions, inside storm windows
  struct Window {
    Nanos from, until;
  };
  std::vector<Window> storms;

  // What each end sent, before faults. The host's record also gets a marker
  // (cuts) where the adapter was pulled out, since bytes still queued then
  // never went out.
  std::vector<SentByte> hostSent;
  std::vector<SentByte> farSent;
  std::vector<size_t> hostCuts;  // indices into hostSent where a pull cut the stream
  FaultCounts counts;

  // `count` bytes of garbage appear at the chip from t, one every 20 µs.
  void Burst(Nanos t, size_t count);
  // From t to `until` the device hears nothing; then it hears, at line speed,
  // everything sent to it meanwhile. What it holds is the device's own input
  // buffer, so a reset pulse or a loss of power in between empties it.
  void Stall(Nanos t, Nanos until);
  // The device lost power: what it held is gone.
  void DropHeld() { held.clear(); }
  // Notes that the adapter is pulled out now (call with World::Unplug).
  void MarkCut() { hostCuts.push_back(hostSent.size()); }

  void Deliver(Direction direction, Nanos t, uint8_t byte, std::vector<uint8_t>& out) override;

 private:
  const FaultRates& RatesAt(Direction direction, Nanos t) const;
  void ReleaseHeld(Nanos now);

  World& world;
  FaultRandom random;
  std::vector<Window> stalls;
  std::vector<uint8_t> held;  // heard during a stall, not yet passed on
  Nanos heldUntil = 0;
  Nanos heldSince = 0;        // the first byte now held arrived
  bool releaseArmed = false;
};

}  // namespace sim
