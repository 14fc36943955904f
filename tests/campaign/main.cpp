// lormix_campaign: the seeded fault campaign.
//
//   lormix_campaign --first 0 --count 5000    seeds 0 .. 4999
//   lormix_campaign --seed 0x1234 --verbose   one seed, with its scenario and timeline
//
// Each seed draws one scenario (release, devices, line faults, events,
// operator) and runs the real UpdateWorker against it in virtual time. A
// broken invariant prints the seed and the command that reproduces it, and the
// exit status is 1. At the end the figures of all seeds are printed, one
// "name: value" a line, summed (maxima for "longest ...").
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/campaign/campaign.h"

namespace {
uint64_t Number(const char* text) { return std::strtoull(text, nullptr, 0); }

int Usage() {
  std::fprintf(stderr, "usage: lormix_campaign [--first N] [--count N] | --seed S [--verbose]\n");
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  uint64_t first = 0, count = 1000;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(arg, "--first") == 0 && hasValue) {
      first = Number(argv[++i]);
    } else if (std::strcmp(arg, "--count") == 0 && hasValue) {
      count = Number(argv[++i]);
    } else if (std::strcmp(arg, "--seed") == 0 && hasValue) {
      first = Number(argv[++i]);
      count = 1;
    } else if (std::strcmp(arg, "--verbose") == 0) {
      verbose = true;
    } else {
      return Usage();
    }
  }

  const auto start = std::chrono::steady_clock::now();
  campaign::Figures total;
  uint64_t failed = 0;
  for (uint64_t seed = first; seed < first + count; ++seed) {
    const campaign::RunResult result = campaign::RunSeed(seed, verbose);
    for (const auto& [name, value] : result.figures) {
      if (name.rfind("longest", 0) == 0)
        total[name] = std::max(total[name], value);
      else
        total[name] += value;
    }
    if (!result.passed) {
      ++failed;
      std::printf("FAIL seed 0x%llx: %s\n  reproduce: %s --seed 0x%llx --verbose\n",
                  static_cast<unsigned long long>(seed), result.failure.c_str(), argv[0],
                  static_cast<unsigned long long>(seed));
      std::fflush(stdout);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("seeds 0x%llx..0x%llx: %llu run, %llu failed, %.1f s\n", static_cast<unsigned long long>(first),
              static_cast<unsigned long long>(first + count - 1), static_cast<unsigned long long>(count),
              static_cast<unsigned long long>(failed), seconds);
  for (const auto& [name, value] : total)
    std::printf("%s: %llu\n", name.c_str(), static_cast<unsigned long long>(value));
  return failed == 0 ? 0 : 1;
}
