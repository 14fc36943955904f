// The seeded fault campaign: one run of the real UpdateWorker against one
// drawn scenario, in virtual time, with the invariants checked as it goes and
// once more over the whole record at the end.
#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace campaign {

// Figures of one run or of many, by name; summed over runs.
using Figures = std::map<std::string, uint64_t>;

struct RunResult {
  bool passed = true;
  std::string failure;  // the first invariant broken, with details
  Figures figures;
};

// Runs the scenario of `seed`. With `verbose`, prints the scenario and its
// timeline to stdout.
RunResult RunSeed(uint64_t seed, bool verbose);

}  // namespace campaign
