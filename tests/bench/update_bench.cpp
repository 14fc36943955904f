// Runs whole update cycles on the simulator and compares each one's virtual
// duration with the floor the line and the device set:
//   floor = bytes on the line / 3840 B/s (both directions share the one wire)
//         + the devices' own processing (frame received to reply ready, boots)
//         + the pauses the cycle prescribes (reset pulse, 200 ms settle,
//           detection passes, retry pauses: every sleep above 1 ms)
//         + the reply windows the cycle must sit out: each frame the device
//           heard and did not answer (the bridge frame, to a device without a
//           bridge) costs its 200 ms window
// A ratio near 1 means the updater wastes no time of its own between frames.
#include <cstdio>
#include <ctime>
#include <string>

#include "app/status_log.h"
#include "control/update_cycle.h"
#include "link/adapter_connection.h"
#include "sim/sim_host.h"
#include "sim/tq410.h"

namespace {

double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double UnansweredMs(const sim::Tq410& device) {
  double ms = 0;
  for (const auto& f : device.frames)
    if (f.replyReady == sim::kNever) ms += 200;
  return ms;
}

double DeviceMs(const sim::Tq410& device) {
  double ms = static_cast<double>(device.counters.boots) * sim::Tq410::kBootTime / sim::kMs;
  for (const auto& f : device.frames)
    if (f.replyReady != sim::kNever) ms += static_cast<double>(f.replyReady - f.received) / sim::kMs;
  return ms;
}

struct Case {
  const char* name;
  uint16_t codeH;
  uint16_t behindH;  // 0: no device behind a bridge
};

bool Run(const Case& c) {
  sim::World& world = sim::ResetSimulation();
  statusLog = StatusLog();
  AdapterHandle = nullptr;
  sim::Tq410 device, behind;
  device.identity = {c.codeH, 0x0235, 0x0100, 1, 2};
  device.keepFrames = false;
  device.Attach(world);
  if (c.behindH != 0) {
    behind.identity = {c.behindH, 0x0235, 0x0100, 3, 4};
    behind.keepFrames = false;
    device.SetBehind(&behind);
  }
  // Boots counted from here on are part of the update.
  device.counters.boots = behind.counters.boots = 0;

  const double cpu0 = CpuSeconds();
  const int result = RunUpdateCycle();
  const double cpu = CpuSeconds() - cpu0;

  const double durationMs = static_cast<double>(world.Now()) / sim::kMs;
  const uint64_t bytes = world.stats.bytesToDevice + world.stats.bytesToHost;
  const double lineMs = bytes * 1000.0 / 3840;
  const double deviceMs = DeviceMs(device) + (c.behindH ? DeviceMs(behind) : 0);
  const double pauseMs = static_cast<double>(sim::TheHost().pauseMs);
  const double windowMs = UnansweredMs(device) + (c.behindH ? UnansweredMs(behind) : 0);
  const double floorMs = lineMs + deviceMs + pauseMs + windowMs;
  const bool committed = device.commits.size() == 1 && (c.behindH == 0 || behind.commits.size() == 1);
  std::printf("%-10s result %d %s  virtual %8.1f ms  floor %8.1f ms (line %7.1f  device %6.1f  pauses %6.1f  "
              "windows %5.1f)  ratio %.4f  cpu %.3f s\n",
              c.name, result, committed ? "committed" : "NOT COMMITTED", durationMs, floorMs, lineMs,
              deviceMs, pauseMs, windowMs, durationMs / floorMs, cpu);
  return result == 0 && committed;
}

}  // namespace

int main() {
  const Case cases[] = {{"TQ410_EN", 0x0A21, 0}, {"TQ410_CZ", 0x0A22, 0}, {"TQ410_FR", 0x0A23, 0},
                        {"bridge", 0x0A21, 0x0A23}};
  bool ok = true;
  for (const Case& c : cases) ok = Run(c) && ok;
  return ok ? 0 : 1;
}
