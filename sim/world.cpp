#include "sim/world.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {
constexpr size_t kChipPacket = 62;     // data bytes in one USB packet to the host
constexpr size_t kChipTxBuffer = 256;  // bytes the chip holds for the line; a write returns when the rest is out
constexpr size_t kHostQueueLimit = 1 << 16;
constexpr uint32_t kFt232rType = 5;
constexpr uint32_t kFt232rId = 0x04036001;  // vendor and product id

Nanos ByteTime(uint32_t baud, uint8_t word, uint8_t stop, uint8_t parity) {
  if (baud == 0) baud = 1;
  const uint64_t bits = 1 + word + (stop == 0 ? 1 : 2) + (parity == 0 ? 0 : 1);
  return bits * 1000000000ull / baud;
}
}  // namespace

World& TheWorld() {
  static World world;
  return world;
}

void* HandleFor(uint32_t id) { return reinterpret_cast<void*>(static_cast<uintptr_t>(0x4C580000u + id)); }

void World::Reset(Clock* newClock) {
  Clock* keep = newClock;
  *this = World();
  clock = keep;
}

Nanos World::HostByteTime() const {
  return ByteTime(settings.baudRate, settings.wordLength, settings.stopBits, settings.parity);
}

Nanos World::PeerByteTime() const { return ByteTime(peerBaudRate, 8, 0, 0); }

bool World::LineSettingsMatchPeer() const {
  return settings.baudRate == peerBaudRate && settings.wordLength == 8 && settings.stopBits == 0 &&
         settings.parity == 0;
}

void World::SleepMs(uint32_t ms) {
  clock->WaitUntil(clock->Now() + static_cast<Nanos>(ms) * kMs);
  Advance();
}

void World::AdvanceTo(Nanos t) {
  for (;;) {
    Nanos next = kNever;
    int kind = -1;
    // Ties go in this order: timers, bytes reaching the far end, bytes reaching
    // the chip, the chip's latency flush.
    if (!timers.empty() && timers.begin()->first < next) next = timers.begin()->first, kind = 0;
    if (!toDevice.empty() && toDevice.front().t < next) next = toDevice.front().t, kind = 1;
    if (!toHost.empty() && toHost.front().t < next) next = toHost.front().t, kind = 2;
    if (chipFlushAt < next) next = chipFlushAt, kind = 3;
    if (kind < 0 || next > t) return;
    switch (kind) {
      case 0: {
        auto action = std::move(timers.begin()->second);
        timers.erase(timers.begin());
        action();
        break;
      }
      case 1: {
        TimedByte b = toDevice.front();
        toDevice.pop_front();
        if (echo) {
          ++stats.bytesEchoed;
          ChipReceive(b.t, b.byte);
        }
        Deliver(Direction::kToDevice, b.t, b.byte);
        break;
      }
      case 2: {
        TimedByte b = toHost.front();
        toHost.pop_front();
        Deliver(Direction::kToHost, b.t, b.byte);
        break;
      }
      case 3:
        FlushChip();
        break;
    }
  }
}

void World::Deliver(Direction direction, Nanos t, uint8_t byte) {
  // At mismatched rates or framing each side samples garbage.
  if (!LineSettingsMatchPeer()) byte = static_cast<uint8_t>(byte * 0x9D + 0x5B);
  uint8_t one[1] = {byte};
  std::vector<uint8_t> changed;
  const uint8_t* bytes = one;
  size_t count = 1;
  if (fault != nullptr) {
    fault->Deliver(direction, t, byte, changed);
    bytes = changed.data();
    count = changed.size();
  }
  for (size_t i = 0; i < count; ++i) {
    if (trace) trace(t, direction, bytes[i]);
    if (direction == Direction::kToDevice) {
      if (peer != nullptr) peer->OnByte(*this, t, bytes[i]);
    } else {
      ChipReceive(t, bytes[i]);
    }
  }
}

void World::ChipReceive(Nanos t, uint8_t byte) {
  if (!present) return;
  if (chipBuffer.empty()) {
    const uint8_t latency = settings.latencyMs == 0 ? 1 : settings.latencyMs;
    chipFlushAt = t + static_cast<Nanos>(latency) * kMs;
  }
  chipBuffer.push_back(byte);
  // The event character sends the packet at once, unless it is the first byte
  // in the buffer.
  const bool eventChar =
      settings.eventEnable != 0 && byte == settings.eventChar && chipBuffer.size() > 1;
  if (eventChar || chipBuffer.size() >= kChipPacket) FlushChip();
}

void World::FlushChip() {
  for (uint8_t b : chipBuffer)
    if (hostQueue.size() < kHostQueueLimit) hostQueue.push_back(b);
  chipBuffer.clear();
  chipFlushAt = kNever;
}

void World::SendToHost(Nanos ready, const uint8_t* bytes, size_t count) {
  const Nanos byteTime = PeerByteTime();
  for (size_t i = 0; i < count; ++i) {
    toHostFreeAt = std::max(toHostFreeAt, ready) + byteTime;
    toHost.push_back({toHostFreeAt, bytes[i]});
    ++stats.bytesToHost;
  }
}

void World::InjectAtChip(Nanos t, uint8_t byte) {
  At(t, [this, t, byte] { ChipReceive(t, byte); });
}

void World::Unplug() {
  present = false;
  open = false;  // the handle dies with the adapter; a new one needs a new open
  toDevice.clear();
  toHost.clear();
  chipBuffer.clear();
  chipFlushAt = kNever;
  hostQueue.clear();
}

void World::Plug() { present = true; }

void World::UnplugAt(Nanos t) {
  At(t, [this] { Unplug(); });
}
void World::PlugAt(Nanos t) {
  At(t, [this] { Plug(); });
}

bool World::Usable(void* handle) const {
  return present && open && handle == HandleFor(handleId);
}

uint32_t World::ListDevices(uint32_t* count) {
  Advance();
  if (refuse.list) return kFtIoError;
  if (count != nullptr) *count = present ? 1 : 0;
  return kFtOk;
}

uint32_t World::OpenByDescription(const char* text, uint32_t flags, void** handle) {
  Advance();
  if (refuse.open) return kFtDeviceNotOpened;
  if (!present || flags != 2 || text == nullptr || description != text) return kFtDeviceNotFound;
  if (open) return kFtDeviceNotOpened;
  open = true;
  handleId = nextHandleId++;
  settings = LineSettings();
  hostQueue.clear();
  *handle = HandleFor(handleId);
  return kFtOk;
}

uint32_t World::Close(void* handle) {
  Advance();
  if (!open || handle != HandleFor(handleId)) return kFtInvalidHandle;
  open = false;
  return kFtOk;
}

uint32_t World::SetFlowControl(void* handle, uint16_t flow, uint8_t xonChar, uint8_t xoffChar) {
  Advance();
  if (!Usable(handle)) return kFtIoError;
  if (refuse.flowControl) return kFtIoError;
  settings.flowControl = flow;
  settings.xon = xonChar;
  settings.xoff = xoffChar;
  return kFtOk;
}

uint32_t World::SetDataCharacteristics(void* handle, uint8_t word, uint8_t stop, uint8_t parity) {
  Advance();
  if (!Usable(handle)) return kFtIoError;
  if (refuse.dataCharacteristics || (word != 7 && word != 8) || stop > 2 || parity > 4)
    return kFtInvalidParameter;
  settings.wordLength = word;
  settings.stopBits = stop;
  settings.parity = parity;
  return kFtOk;
}

uint32_t World::SetBaudRate(void* handle, uint32_t baud) {
  Advance();
  if (!Usable(handle)) return kFtIoError;
  if (refuse.baudRate || baud < 183 || baud > 3000000) return kFtInvalidParameter;
  settings.baudRate = baud;
  return kFtOk;
}

uint32_t World::SetLatencyTimer(void* handle, uint8_t ms) {
  Advance();
  if (!Usable(handle)) return kFtIoError;
  if (refuse.latency || ms < 1) return kFtInvalidParameter;
  settings.latencyMs = ms;
  return kFtOk;
}

uint32_t World::SetChars(void* handle, uint8_t event, uint8_t eventOn, uint8_t error,
                         uint8_t errorOn) {
  Advance();
  if (!Usable(handle)) return kFtIoError;
  if (refuse.chars) return kFtIoError;
  settings.eventChar = event;
  settings.eventEnable = eventOn;
  settings.errorChar = error;
  settings.errorEnable = errorOn;
  return kFtOk;
}

uint32_t World::GetStatus(void* handle, uint32_t* rx, uint32_t* tx, uint32_t* events) {
  Advance();
  ++stats.statusQueries;
  *rx = *tx = *events = 0;
  if (!Usable(handle) || refuse.status) return kFtIoError;
  *rx = static_cast<uint32_t>(hostQueue.size());
  *tx = static_cast<uint32_t>(toDevice.size());
  return kFtOk;
}

uint32_t World::Read(void* handle, void* buffer, uint32_t count, uint32_t* got) {
  Advance();
  ++stats.reads;
  if (stats.recordReads) stats.readRequests.push_back(count);
  *got = 0;
  if (!Usable(handle) || refuse.read) return kFtIoError;
  if (count > hostQueue.size()) ++stats.readsBeyondQueue;
  const uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(hostQueue.size()));
  auto* out = static_cast<uint8_t*>(buffer);
  for (uint32_t i = 0; i < n; ++i) {
    out[i] = hostQueue.front();
    hostQueue.pop_front();
  }
  *got = n;
  return kFtOk;
}

uint32_t World::Write(void* handle, const void* buffer, uint32_t count, uint32_t* written) {
  Advance();
  ++stats.writes;
  *written = 0;
  if (!Usable(handle) || refuse.write) return kFtIoError;
  const Nanos now = Now();
  const Nanos byteTime = HostByteTime();
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  for (uint32_t i = 0; i < count; ++i) {
    toDeviceFreeAt = std::max(toDeviceFreeAt, now) + byteTime;
    toDevice.push_back({toDeviceFreeAt, bytes[i]});
    ++stats.bytesToDevice;
  }
  // The call returns once the chip's own buffer can hold what is still unsent.
  if (toDevice.size() > kChipTxBuffer) {
    const Nanos returnAt = toDevice[toDevice.size() - kChipTxBuffer - 1].t;
    clock->WaitUntil(returnAt);
    Advance();
    if (!present) return kFtIoError;  // pulled out while the write was under way
  }
  *written = count;
  return kFtOk;
}

uint32_t World::GetDeviceInfo(void* handle, uint32_t* type, uint32_t* id, char* serial,
                              char* text) {
  Advance();
  if (!Usable(handle) || refuse.deviceInfo) return kFtIoError;
  if (type != nullptr) *type = kFt232rType;
  if (id != nullptr) *id = kFt232rId;
  if (serial != nullptr) std::snprintf(serial, 16, "%s", serialNumber.c_str());
  if (text != nullptr) std::snprintf(text, 64, "%s", description.c_str());
  return kFtOk;
}

uint32_t World::SetResetLine(void* handle, bool asserted) {
  Advance();
  if (!Usable(handle)) return kFtIoError;
  if (resetAsserted != asserted) {
    resetAsserted = asserted;
    resetHistory.emplace_back(Now(), asserted);
    if (peer != nullptr) peer->OnResetLine(*this, Now(), asserted);
  }
  return kFtOk;
}

}  // namespace sim
