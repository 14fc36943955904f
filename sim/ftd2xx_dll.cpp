// A drop-in FTD2XX.dll: the fourteen functions LORMIX imports, answered by the
// simulated FT232R (sim::World) on the real clock, with the devices of a named
// scenario at the far end of its line. Placed beside LORMIX.exe it is loaded
// instead of the vendor's library.
//
// Environment:
//   LORMIX_SIM_SCENARIO  which scenario (sim/scenarios.h); unset: the default
//   LORMIX_SIM_TRACE     file that receives a device-side trace of the line
//   LORMIX_SIM_RESULT    file rewritten with the devices' state whenever a
//                        device takes new firmware
//
// LORMIX calls the library from its worker thread only; the world is guarded
// all the same, so a second caller cannot corrupt it.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "link/ftd2xx_api.h"
#include "sim/scenarios.h"
#include "sim/tq410_grammar.h"
#include "sim/world.h"

namespace {

using sim::Direction;
using sim::Nanos;

// Reads the performance counter; WaitUntil sleeps, then yields for the last
// fraction of a millisecond.
struct RealClock final : sim::Clock {
  LARGE_INTEGER frequency{}, start{};
  RealClock() {
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
  }
  Nanos Now() override {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart - start.QuadPart);
    const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / f * 1000000000ull + ticks % f * 1000000000ull / f;
  }
  void WaitUntil(Nanos t) override {
    for (;;) {
      const Nanos now = Now();
      if (now >= t) return;
      const Nanos left = t - now;
      Sleep(left > 2 * sim::kMs ? static_cast<DWORD>(left / sim::kMs - 1) : 0);
    }
  }
};

// Turns what crosses the line into one line of text per burst: a probe, a
// frame (key, command, address), a reply (key, code), or raw bytes.
struct LineTrace {
  FILE* out = nullptr;

  struct Burst {
    bool active = false;
    Direction direction = Direction::kToDevice;
    Nanos first = 0, last = 0;
    std::vector<uint8_t> bytes;  // the first kKeep bytes
    size_t count = 0;
  } burst;
  static constexpr size_t kKeep = 24;
  static constexpr Nanos kGap = 2 * sim::kMs;  // a pause this long ends a burst

  // A probe waits for the next line to say whether it was answered.
  bool probePending = false;
  Nanos probeAt = 0;
  // Repeats of the same text are counted, not printed.
  std::string lastText;
  Nanos lastAt = 0;
  uint64_t repeats = 0;

  void Print(Nanos t, const std::string& text) {
    if (out == nullptr) return;
    if (text == lastText) {
      ++repeats;
      lastAt = t;
      return;
    }
    if (repeats > 0)
      std::fprintf(out, "%9.3f  (the same %llu more times)\n", lastAt / 1e9,
                   static_cast<unsigned long long>(repeats));
    repeats = 0;
    lastText = text;
    lastAt = t;
    std::fprintf(out, "%9.3f  %s\n", t / 1e9, text.c_str());
    std::fflush(out);
  }

  void Emit(Nanos t, const std::string& text, bool isProbe, bool isProbeAnswer) {
    if (probePending) {
      probePending = false;
      if (isProbeAnswer) {
        Print(probeAt, "host > probe              < answered");
        return;
      }
      Print(probeAt, "host > probe              (no answer)");
    }
    if (isProbe) {
      probePending = true;
      probeAt = t;
      return;
    }
    Print(t, text);
  }

  void Event(Nanos t, const std::string& text) {
    FlushBurst();
    Emit(t, "------ " + text, false, false);
  }

  void Byte(Nanos t, Direction direction, uint8_t byte) {
    if (out == nullptr) return;
    if (burst.active && (burst.direction != direction || t - burst.last > kGap)) FlushBurst();
    if (!burst.active) {
      burst.active = true;
      burst.direction = direction;
      burst.first = t;
      burst.bytes.clear();
      burst.count = 0;
    }
    burst.last = t;
    if (burst.bytes.size() < kKeep) burst.bytes.push_back(byte);
    ++burst.count;
  }

  // Ends a burst that has gone quiet (called on every library call).
  void Quiet(Nanos now) {
    if (burst.active && now - burst.last > kGap) FlushBurst();
  }

  void FlushBurst() {
    if (!burst.active) return;
    burst.active = false;
    const auto& b = burst.bytes;
    char text[200];
    bool isProbe = false, isProbeAnswer = false;
    if (burst.direction == Direction::kToDevice) {
      if (burst.count == 5 && std::equal(b.begin(), b.end(), tq410::kProbe)) {
        isProbe = true;
        std::snprintf(text, sizeof text, "host > probe");
      } else if (b[0] == tq410::kCommandLead && b.size() >= 5) {
        const unsigned length = b[3] | b[4] << 8;
        std::string what;
        switch (b[2]) {
          case tq410::kGetInfo: what = "get-info"; break;
          case tq410::kBridge: what = "bridge"; break;
          case tq410::kWrite: what = "write block"; break;
          case tq410::kWriteLong: what = "write block (erase)"; break;
          case tq410::kWriteR5: what = "write block (R5)"; break;
          case tq410::kCommit: what = "commit"; break;
          default: {
            char c[16];
            std::snprintf(c, sizeof c, "command %02X", b[2]);
            what = c;
          }
        }
        if (b[2] >= tq410::kWrite && b[2] <= tq410::kWriteR5 && b.size() >= 9) {
          char at[24];
          std::snprintf(at, sizeof at, " @%06X", static_cast<unsigned>(b[5] | b[6] << 8 | b[7] << 16 | b[8] << 24));
          what += at;
        }
        std::snprintf(text, sizeof text, "host > frame key %02X %-26s %5zu bytes%s", b[1], what.c_str(),
                      burst.count, burst.count == length ? "" : " (length field differs)");
      } else {
        std::snprintf(text, sizeof text, "host > %zu bytes %02X ...", burst.count, b[0]);
      }
    } else {
      if (burst.count == 2 && b[0] == tq410::kProbeAnswer[0] && b[1] == tq410::kProbeAnswer[1]) {
        isProbeAnswer = true;
        std::snprintf(text, sizeof text, "       < probe answer");
      } else if (b[0] == tq410::kReplyLead && b.size() >= 5) {
        const uint8_t key = b[1];
        auto plain = [&](size_t i) { return static_cast<uint8_t>(static_cast<uint8_t>(b[i] + 0x5D) ^ key); };
        char code[64];
        std::snprintf(code, sizeof code, "%c%c", plain(3), plain(4));
        if (plain(4) == tq410::kCodeInfo && b.size() >= 3 + 11) {
          std::snprintf(code + 2, sizeof code - 2, " codeH %02X%02X codeB %02X%02X codeS %02X%02X", plain(7),
                        plain(6), plain(10), plain(9), plain(13), plain(12));
        }
        std::snprintf(text, sizeof text, "       < reply key %02X %s", key, code);
      } else {
        std::snprintf(text, sizeof text, "       < %zu bytes %02X ...", burst.count, b[0]);
      }
    }
    Emit(burst.first, text, isProbe, isProbeAnswer);
  }
};

struct Simulation {
  RealClock clock;
  sim::World* world = nullptr;
  sim::Scenario* scenario = nullptr;  // null: unknown name, the library refuses to list
  LineTrace trace;
  std::string resultPath;
  uint64_t resultGeneration = ~0ull;
};

std::mutex simLock;
Simulation* simulation = nullptr;  // made on first use, never freed: the worker
                                   // may still be inside the library at exit

std::string Environment(const char* name) {
  char value[1024];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

void WriteResult(Simulation& s) {
  if (s.resultPath.empty() || s.scenario == nullptr) return;
  const uint64_t generation = sim::ScenarioGeneration(*s.scenario);
  if (generation == s.resultGeneration) return;
  s.resultGeneration = generation;
  FILE* f = std::fopen(s.resultPath.c_str(), "w");
  if (f == nullptr) return;
  for (const std::string& line : sim::DescribeDevices(*s.scenario)) std::fprintf(f, "%s\n", line.c_str());
  std::fclose(f);
}

Simulation& TheSimulation() {
  if (simulation != nullptr) return *simulation;
  auto* s = new Simulation;
  s->world = new sim::World;
  s->world->Reset(&s->clock);
  const std::string tracePath = Environment("LORMIX_SIM_TRACE");
  if (!tracePath.empty()) s->trace.out = std::fopen(tracePath.c_str(), "w");
  s->resultPath = Environment("LORMIX_SIM_RESULT");
  const std::string name = Environment("LORMIX_SIM_SCENARIO");
  s->scenario = sim::StartScenario(name.c_str(), *s->world);
  if (s->scenario == nullptr) {
    std::string known;
    for (const auto& info : sim::ScenarioList()) known += std::string(" ") + info.name;
    s->trace.Event(0, "unknown scenario \"" + name + "\"; known:" + known);
    std::fprintf(stderr, "FTD2XX.dll (simulated): unknown scenario \"%s\"; known:%s\n", name.c_str(),
                 known.c_str());
  } else {
    s->trace.Event(0, "scenario " + (name.empty() ? sim::ScenarioList().front().name : name));
    LineTrace* trace = &s->trace;
    s->world->trace = [trace](Nanos t, Direction d, uint8_t byte) { trace->Byte(t, d, byte); };
    sim::SetScenarioNotes(*s->scenario, [trace](Nanos t, const std::string& text) { trace->Event(t, text); });
  }
  WriteResult(*s);
  simulation = s;
  return *s;
}

// Runs one library call on the world, then lets the scenario react and the
// trace and result catch up.
template <typename Operation>
d2xx::Status Call(Operation operation) {
  std::lock_guard<std::mutex> hold(simLock);
  Simulation& s = TheSimulation();
  const d2xx::Status status = operation(s);
  if (s.scenario != nullptr) {
    s.world->Advance();
    sim::TickScenario(*s.scenario, *s.world);
  }
  s.trace.Quiet(s.world->Now());
  WriteResult(s);
  return status;
}

std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Notes a setting in the trace, with its outcome.
d2xx::Status Setting(Simulation& s, d2xx::Status status, const std::string& what) {
  s.trace.Event(s.world->Now(), what + (status == sim::kFtOk ? "" : Format(": refused (%u)", status)));
  return status;
}

}  // namespace

namespace d2xx {

extern "C" {

Status D2XX_CALL FT_ListDevices(void* arg1, void* arg2, uint32_t flags) {
  (void)arg2;
  return Call([&](Simulation& s) -> Status {
    if (s.scenario == nullptr) return sim::kFtIoError;
    // Only the device count is simulated.
    if (flags != kListNumberOnly || arg1 == nullptr) return sim::kFtInvalidParameter;
    return s.world->ListDevices(static_cast<uint32_t*>(arg1));
  });
}

Status D2XX_CALL FT_OpenEx(void* arg1, uint32_t flags, Handle* handle) {
  return Call([&](Simulation& s) -> Status {
    if (handle == nullptr) return sim::kFtInvalidParameter;
    const Status status = s.world->OpenByDescription(static_cast<const char*>(arg1), flags, handle);
    s.trace.Event(s.world->Now(), status == sim::kFtOk ? "adapter opened" : "adapter not opened");
    return status;
  });
}

Status D2XX_CALL FT_Close(Handle handle) {
  return Call([&](Simulation& s) -> Status {
    const Status status = s.world->Close(handle);
    if (status == sim::kFtOk) s.trace.Event(s.world->Now(), "adapter closed");
    return status;
  });
}

Status D2XX_CALL FT_SetFlowControl(Handle handle, uint16_t flowControl, uint8_t xon, uint8_t xoff) {
  return Call([&](Simulation& s) {
    return Setting(s, s.world->SetFlowControl(handle, flowControl, xon, xoff),
                   Format("flow control %u", flowControl));
  });
}

Status D2XX_CALL FT_SetDataCharacteristics(Handle handle, uint8_t wordLength, uint8_t stopBits,
                                           uint8_t parity) {
  return Call([&](Simulation& s) {
    return Setting(s, s.world->SetDataCharacteristics(handle, wordLength, stopBits, parity),
                   Format("data bits %u, stop-bit code %u, parity code %u", wordLength, stopBits, parity));
  });
}

Status D2XX_CALL FT_SetBaudRate(Handle handle, uint32_t baudRate) {
  return Call([&](Simulation& s) {
    return Setting(s, s.world->SetBaudRate(handle, baudRate), Format("baud rate %u", baudRate));
  });
}

Status D2XX_CALL FT_SetLatencyTimer(Handle handle, uint8_t milliseconds) {
  return Call([&](Simulation& s) {
    return Setting(s, s.world->SetLatencyTimer(handle, milliseconds), Format("latency timer %u ms", milliseconds));
  });
}

Status D2XX_CALL FT_SetChars(Handle handle, uint8_t eventChar, uint8_t eventEnable, uint8_t errorChar,
                             uint8_t errorEnable) {
  return Call([&](Simulation& s) {
    return Setting(s, s.world->SetChars(handle, eventChar, eventEnable, errorChar, errorEnable),
                   Format("event character %02X %s, error character %02X %s", eventChar,
                          eventEnable ? "on" : "off", errorChar, errorEnable ? "on" : "off"));
  });
}

Status D2XX_CALL FT_GetStatus(Handle handle, uint32_t* rxQueue, uint32_t* txQueue, uint32_t* eventStatus) {
  return Call([&](Simulation& s) -> Status {
    if (rxQueue == nullptr || txQueue == nullptr || eventStatus == nullptr) return sim::kFtInvalidParameter;
    return s.world->GetStatus(handle, rxQueue, txQueue, eventStatus);
  });
}

Status D2XX_CALL FT_Read(Handle handle, void* buffer, uint32_t count, uint32_t* bytesRead) {
  return Call([&](Simulation& s) -> Status {
    if (buffer == nullptr || bytesRead == nullptr) return sim::kFtInvalidParameter;
    return s.world->Read(handle, buffer, count, bytesRead);
  });
}

Status D2XX_CALL FT_Write(Handle handle, void* buffer, uint32_t count, uint32_t* bytesWritten) {
  return Call([&](Simulation& s) -> Status {
    if (buffer == nullptr || bytesWritten == nullptr) return sim::kFtInvalidParameter;
    return s.world->Write(handle, buffer, count, bytesWritten);
  });
}

Status D2XX_CALL FT_GetDeviceInfo(Handle handle, uint32_t* deviceType, uint32_t* deviceId, char* serialNumber,
                                  char* description, void* reserved) {
  (void)reserved;
  return Call([&](Simulation& s) {
    return s.world->GetDeviceInfo(handle, deviceType, deviceId, serialNumber, description);
  });
}

Status D2XX_CALL FT_SetDtr(Handle handle) {
  return Call([&](Simulation& s) {
    const Status status = s.world->SetResetLine(handle, true);
    s.trace.Event(s.world->Now(), "DTR set: reset held");
    return status;
  });
}

Status D2XX_CALL FT_ClrDtr(Handle handle) {
  return Call([&](Simulation& s) {
    const Status status = s.world->SetResetLine(handle, false);
    s.trace.Event(s.world->Now(), "DTR cleared: reset released");
    return status;
  });
}

}  // extern "C"

}  // namespace d2xx
