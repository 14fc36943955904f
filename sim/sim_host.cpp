// Binds the host seam to the simulated world's virtual clock.
#include "sim/sim_host.h"

#include "link/host_services.h"

namespace sim {

static VirtualClock virtualClock;

HostRecord& TheHost() {
  static HostRecord record;
  return record;
}

World& ResetSimulation() {
  virtualClock = VirtualClock();
  TheWorld().Reset(&virtualClock);
  TheHost() = HostRecord();
  return TheWorld();
}

static void CheckDeadline() {
  if (TheWorld().Now() >= TheHost().deadline) throw DeadlineReached{};
}

}  // namespace sim

using sim::TheHost;
using sim::TheWorld;

uint32_t HostTickCount() {
  sim::CheckDeadline();
  return TheWorld().TickCount();
}

void HostSleep(uint32_t milliseconds) {
  ++TheHost().sleeps;
  if (milliseconds > 1) TheHost().pauseMs += milliseconds;
  TheWorld().SleepMs(milliseconds);
  sim::CheckDeadline();
}

void HostRequestRepaint(void* window) {
  (void)window;
  auto& host = TheHost();
  ++host.repaintRequests;
  if (host.onRepaint) host.onRepaint();
}

int HostAskQuestion(void* owner, const char* text, const char* caption) {
  auto& host = TheHost();
  host.questions.push_back({TheWorld().Now(), owner, text, caption});
  if (host.answers.empty()) return 7;
  int answer = host.answers.front();
  host.answers.pop_front();
  return answer;
}

void HostPostCommand(void* window, uint32_t command) {
  TheHost().posted.push_back({TheWorld().Now(), window, command});
}
