#include "sim/line_faults.h"

namespace sim {

namespace {
bool Inside(const std::vector<LineFaults::Window>& windows, Nanos t) {
  for (const auto& w : windows)
    if (t >= w.from && t < w.until) return true;
  return false;
}
}  // namespace

const FaultRates& LineFaults::RatesAt(Direction direction, Nanos t) const {
  if (Inside(storms, t)) return storm;
  return direction == Direction::kToDevice ? toDevice : toHost;
}

void LineFaults::Burst(Nanos t, size_t count) {
  ++counts.bursts;
  counts.burstBytes += count;
  for (size_t i = 0; i < count; ++i)
    world.InjectAtChip(t + static_cast<Nanos>(i) * 20000, static_cast<uint8_t>(random.Next()));
}

void LineFaults::Stall(Nanos t, Nanos until) {
  ++counts.stalls;
  stalls.push_back({t, until});
}

void LineFaults::Deliver(Direction direction, Nanos t, uint8_t byte, std::vector<uint8_t>& out) {
  (direction == Direction::kToDevice ? hostSent : farSent).push_back({t, byte});

  const FaultRates& rates = RatesAt(direction, t);
  if (rates.Any()) {
    if (random.Chance(rates.insert)) {
      ++counts.inserted;
      out.push_back(static_cast<uint8_t>(random.Next()));
    }
    if (random.Chance(rates.drop)) {
      ++counts.dropped;
    } else {
      uint8_t b = byte;
      if (random.Chance(rates.flip)) {
        ++counts.flipped;
        b ^= static_cast<uint8_t>(1u << random.Below(8));
      }
      out.push_back(b);
      if (random.Chance(rates.duplicate)) {
        ++counts.duplicated;
        out.push_back(b);
      }
    }
  } else {
    out.push_back(byte);
  }

  if (direction != Direction::kToDevice) return;
  // A stalled device hears nothing now; what it missed reaches it in order
  // once the stall is over (and before anything sent later).
  for (const auto& w : stalls)
    if (t >= w.from && t < w.until && w.until > heldUntil) heldUntil = w.until;
  if (t < heldUntil || !held.empty()) {
    if (held.empty()) heldSince = t;
    counts.stalledBytes += out.size();
    held.insert(held.end(), out.begin(), out.end());
    out.clear();
    if (!releaseArmed) {
      releaseArmed = true;
      const Nanos at = heldUntil > t ? heldUntil : t;
      world.At(at, [this, at] { ReleaseHeld(at); });
    }
  }
}

// One held byte at `now`, the next one byte time later, until none is left.
// (Timers learn their own time from the capture: the clock may be further on.)
void LineFaults::ReleaseHeld(Nanos now) {
  releaseArmed = false;
  // A reset pulse since the bytes were held wiped the device's input.
  for (const auto& [when, asserted] : world.resetHistory)
    if (asserted && when >= heldSince) held.clear();
  if (held.empty()) return;
  const uint8_t byte = held.front();
  held.erase(held.begin());
  if (world.peer != nullptr) world.peer->OnByte(world, now, byte);
  if (!held.empty()) {
    releaseArmed = true;
    const Nanos next = now + world.PeerByteTime();
    world.At(next, [this, next] { ReleaseHeld(next); });
  }
}

}  // namespace sim
