// Common ground for tests that run the logic against the simulated world.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/status_log.h"
#include "sim/sim_host.h"
#include "sim/world.h"

#include "tests/logic_state.h"

// The ten status slots as strings, top to bottom.
std::vector<std::string> StatusLines();

// A fresh virtual world (time 0, adapter present, echoing line, no far end) and
// fresh logic state for every test.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world = &sim::ResetSimulation();
    ResetLogicState();
  }
  // Virtual milliseconds since the test began.
  double NowMs() const { return static_cast<double>(world->Now()) / sim::kMs; }
  sim::World* world = nullptr;
};
