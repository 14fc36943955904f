// The host seam as the tests see it: the simulated world's virtual clock, and a
// record of what the logic asked of the window system.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "sim/world.h"

namespace sim {

// Thrown by the host seam once the virtual clock passes `deadline`, so a test
// can end logic that is built to loop for ever (the worker, the adapter wait).
struct DeadlineReached {};

struct HostRecord {
  Nanos deadline = kNever;
  uint64_t repaintRequests = 0;
  // Called at every repaint request: every change of the status log ends
  // with one, so an observer sees each line as it was written.
  std::function<void()> onRepaint;
  struct Question {
    Nanos t;
    void* owner;
    std::string text, caption;
  };
  std::vector<Question> questions;
  std::deque<int> answers;  // given in turn; when empty the box answers No (7)
  struct Posted {
    Nanos t;
    void* window;
    uint32_t command;
  };
  std::vector<Posted> posted;
  uint64_t sleeps = 0;
  uint64_t pauseMs = 0;  // total of sleeps longer than the exchange's 1 ms polls
};

HostRecord& TheHost();

// A fresh virtual world and host record at time 0; returns the world.
World& ResetSimulation();

}  // namespace sim
