// The simulated world behind the adapter seam: an FT232R on a serial line, a
// clock, and whatever sits at the far end of the line (a scripted peer in the
// link tests, simulated devices later). All state lives in one struct; every
// adapter operation first brings the world up to the clock's present.
//
// Time is in nanoseconds (a byte at 38400 baud takes 260416.67 ns; whole
// microseconds would drift by tens of milliseconds over an image).
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

using Nanos = uint64_t;
constexpr Nanos kNever = UINT64_MAX;
constexpr Nanos kMs = 1000000;

// Who keeps time. The tests' virtual clock jumps when waited on; the drop-in
// DLL's real clock sleeps.
struct Clock {
  virtual ~Clock() = default;
  virtual Nanos Now() = 0;
  virtual void WaitUntil(Nanos t) = 0;
};

struct VirtualClock final : Clock {
  Nanos now = 0;
  Nanos Now() override { return now; }
  void WaitUntil(Nanos t) override {
    if (t > now) now = t;
  }
};

// D2XX status values the simulated adapter gives.
enum : uint32_t {
  kFtOk = 0,
  kFtInvalidHandle = 1,
  kFtDeviceNotFound = 2,
  kFtDeviceNotOpened = 3,
  kFtIoError = 4,
  kFtInvalidParameter = 6,
};

enum class Direction { kToDevice, kToHost };

struct World;

// What sits at the far end of the line.
struct LinePeer {
  virtual ~LinePeer() = default;
  // A byte sent by the adapter has fully arrived at the far end at time t.
  virtual void OnByte(World& world, Nanos t, uint8_t byte) = 0;
  // The reset line changed level (asserted: the pulse began).
  virtual void OnResetLine(World& world, Nanos t, bool asserted) {
    (void)world, (void)t, (void)asserted;
  }
};

// Settings the host has made, as the chip holds them. Defaults are the chip's
// own after open.
struct LineSettings {
  uint32_t baudRate = 9600;
  uint8_t wordLength = 8, stopBits = 0, parity = 0;
  uint16_t flowControl = 0;
  uint8_t xon = 0x11, xoff = 0x13;
  uint8_t latencyMs = 16;
  uint8_t eventChar = 0, eventEnable = 0, errorChar = 0, errorEnable = 0;
};

// Operations a test can make the adapter refuse (non-zero status).
struct Refusals {
  bool list = false, open = false, flowControl = false, dataCharacteristics = false,
       baudRate = false, latency = false, chars = false, write = false, read = false,
       status = false, deviceInfo = false;
};

// Changes a byte on its way along the line; the default delivers it unchanged.
// Appends what arrives instead (nothing: dropped; two: duplicated).
struct LineFault {
  virtual ~LineFault() = default;
  virtual void Deliver(Direction direction, Nanos t, uint8_t byte, std::vector<uint8_t>& out) = 0;
};

struct LineStats {
  uint64_t bytesToDevice = 0;  // bytes the adapter put on the line
  uint64_t bytesToHost = 0;    // bytes the far end put on the line
  uint64_t bytesEchoed = 0;
  uint64_t readsBeyondQueue = 0;  // reads asking more than was queued: a real read would block
  uint64_t writes = 0, reads = 0, statusQueries = 0;
  bool recordReads = false;             // keep each read's requested count below
  std::vector<uint32_t> readRequests;
};

struct TimedByte {
  Nanos t;
  uint8_t byte;
};

struct World {
  // --- time ---
  Clock* clock = nullptr;
  uint32_t tickBase = 0;  // HostTickCount at time 0, to test the counter's wrap

  // --- the adapter ---
  bool present = true;
  std::string description = "FT232R USB UART";
  std::string serialNumber = "LMX00001";
  bool echo = true;  // a one-wire line returns every byte the adapter sends
  LineSettings settings;
  Refusals refuse;
  bool open = false;
  uint32_t handleId = 0;  // id of the open handle; stale ids fail
  uint32_t nextHandleId = 1;

  // --- the line and the chip ---
  std::deque<TimedByte> toDevice;  // sent, arriving at the far end at t
  Nanos toDeviceFreeAt = 0;
  std::deque<TimedByte> toHost;  // sent by the far end, arriving at the chip at t
  Nanos toHostFreeAt = 0;
  std::vector<uint8_t> chipBuffer;  // received, not yet sent to the host
  Nanos chipFlushAt = kNever;
  std::deque<uint8_t> hostQueue;  // reached the driver: what a status query reports

  // --- the reset line ---
  bool resetAsserted = false;
  std::vector<std::pair<Nanos, bool>> resetHistory;

  // --- the far end ---
  LinePeer* peer = nullptr;
  uint32_t peerBaudRate = 38400;  // the far end runs 8N1 at this rate
  LineFault* fault = nullptr;
  std::function<void(Nanos, Direction, uint8_t)> trace;

  LineStats stats;

  // --- timers (scheduled unplugging, device work, scripted bytes) ---
  std::multimap<Nanos, std::function<void()>> timers;

  // Resets everything to a freshly plugged adapter with nothing on the line.
  void Reset(Clock* newClock);

  Nanos Now() const { return clock->Now(); }
  uint32_t TickCount() const { return tickBase + static_cast<uint32_t>(clock->Now() / kMs); }
  void SleepMs(uint32_t ms);

  // Runs every event due up to t, in time order.
  void AdvanceTo(Nanos t);
  void Advance() { AdvanceTo(Now()); }

  void At(Nanos t, std::function<void()> action) { timers.emplace(t, std::move(action)); }

  // The far end sends bytes; they go on the line no earlier than `ready`, one
  // after another at the far end's byte time.
  void SendToHost(Nanos ready, const uint8_t* bytes, size_t count);
  void SendToHost(Nanos ready, const std::vector<uint8_t>& bytes) {
    SendToHost(ready, bytes.data(), bytes.size());
  }
  // A byte appears in the chip's receive buffer at t, bypassing line timing.
  void InjectAtChip(Nanos t, uint8_t byte);

  void Unplug();  // now
  void Plug();    // now
  void UnplugAt(Nanos t);
  void PlugAt(Nanos t);

  // Nanoseconds one byte takes on the line, from the adapter's settings and
  // from the far end's fixed 8N1 rate.
  Nanos HostByteTime() const;
  Nanos PeerByteTime() const;
  bool LineSettingsMatchPeer() const;

  // --- the D2XX operations as the chip answers them ---
  uint32_t ListDevices(uint32_t* count);
  uint32_t OpenByDescription(const char* text, uint32_t flags, void** handle);
  uint32_t Close(void* handle);
  uint32_t SetFlowControl(void* handle, uint16_t flow, uint8_t xon, uint8_t xoff);
  uint32_t SetDataCharacteristics(void* handle, uint8_t word, uint8_t stop, uint8_t parity);
  uint32_t SetBaudRate(void* handle, uint32_t baud);
  uint32_t SetLatencyTimer(void* handle, uint8_t ms);
  uint32_t SetChars(void* handle, uint8_t event, uint8_t eventOn, uint8_t error, uint8_t errorOn);
  uint32_t GetStatus(void* handle, uint32_t* rx, uint32_t* tx, uint32_t* events);
  uint32_t Read(void* handle, void* buffer, uint32_t count, uint32_t* got);
  uint32_t Write(void* handle, const void* buffer, uint32_t count, uint32_t* written);
  uint32_t GetDeviceInfo(void* handle, uint32_t* type, uint32_t* id, char* serial,
                         char* text);
  uint32_t SetResetLine(void* handle, bool asserted);

 private:
  bool Usable(void* handle) const;
  void ChipReceive(Nanos t, uint8_t byte);
  void FlushChip();
  void Deliver(Direction direction, Nanos t, uint8_t byte);
};

// The one world the seam bindings use.
World& TheWorld();

// Handle value for an id; the handle carries no pointer into the simulator.
void* HandleFor(uint32_t id);

}  // namespace sim
