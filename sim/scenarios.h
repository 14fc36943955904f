// What the simulated FTD2XX.dll puts behind its adapter: named set-ups of the
// world (devices, line, adapter faults) and the events they script over time.
// Portable: the DLL runs them on the real clock, tests may run them on the
// virtual one.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/tq410.h"
#include "sim/world.h"

namespace sim {

struct ScenarioInfo {
  const char* name;
  const char* summary;
};

// Every scenario, the default first.
const std::vector<ScenarioInfo>& ScenarioList();

struct Scenario;

// Sets `world` up for the named scenario (null or empty: the default). The
// world must have been Reset with its clock. Returns null for an unknown name
// and leaves the world as it was. The scenario lives for the rest of the
// process (its devices are the world's peers).
Scenario* StartScenario(const char* name, World& world);

// Detaches the scenario from `world` (peer, line fault, pending events) and
// frees it. The DLL never calls it (the worker may be inside the library at
// exit); tests do, between runs.
void EndScenario(Scenario* scenario, World& world);

// Lets the scenario react to what has happened so far (an update finished, a
// number of blocks written...). Call after every adapter operation, with the
// world brought up to date.
void TickScenario(Scenario& scenario, World& world);

// Receives the scenario's own events ("device 1 unplugged"), with their time.
void SetScenarioNotes(Scenario& scenario, std::function<void(Nanos, const std::string&)> notes);

// One line per device: its name, identity, firmware level, commits and the
// firmware it holds, e.g.
//   device 1 TQ410_EN codeH=0A21 codeB=0235 codeS=013F commits=1 firmware-bytes=73112 firmware-crc=1A2B
std::vector<std::string> DescribeDevices(const Scenario& scenario);

// Raised whenever a device's firmware changes (a commit); lets the caller
// write its report only when there is something new.
uint64_t ScenarioGeneration(const Scenario& scenario);

}  // namespace sim
