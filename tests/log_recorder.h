// Reconstructs, from the repaint request that ends every change of the status
// log, what the logic wrote: each appended line, each live-line replacement and
// each clear, with the virtual time it happened.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "app/status_log.h"
#include "link/host_services.h"
#include "sim/sim_host.h"

struct LogEvent {
  enum Kind { kAppend, kReplace, kClear } kind;
  std::string text;
  double ms;  // virtual time
};

class LogRecorder {
 public:
  // Starts observing; needs a main window so that changes request repaints.
  void Start() {
    mainWindow = reinterpret_cast<void*>(0x100);
    Snapshot(&last_);
    sim::TheHost().onRepaint = [this] { Observe(); };
  }

  const std::vector<LogEvent>& events() const { return events_; }

  std::vector<std::string> Appended() const { return Texts(LogEvent::kAppend); }
  std::vector<std::string> Replaced() const { return Texts(LogEvent::kReplace); }

  // Times of the appends of exactly `text`.
  std::vector<double> AppendTimes(const std::string& text) const {
    std::vector<double> out;
    for (const LogEvent& e : events_)
      if (e.kind == LogEvent::kAppend && e.text == text) out.push_back(e.ms);
    return out;
  }

  // Appended lines starting with `prefix`.
  std::vector<std::string> AppendedStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& s : Appended())
      if (s.rfind(prefix, 0) == 0) out.push_back(s);
    return out;
  }

 private:
  struct State {
    char lines[kStatusLines][kStatusSlotSize];
    int index;
    int full;
  };
  static void Snapshot(State* s) {
    CopyStatusLines(s->lines);
    s->index = statusLog.lineIndex;
    s->full = statusLog.full;
  }
  std::vector<std::string> Texts(LogEvent::Kind kind) const {
    std::vector<std::string> out;
    for (const LogEvent& e : events_)
      if (e.kind == kind) out.push_back(e.text);
    return out;
  }
  void Observe() {
    State now;
    Snapshot(&now);
    const double ms = static_cast<double>(sim::TheWorld().Now()) / sim::kMs;
    bool empty = now.index == 0 && !now.full;
    for (auto& line : now.lines) empty = empty && line[0] == '\0';
    if (empty) {
      events_.push_back({LogEvent::kClear, "", ms});
    } else if (now.index != last_.index || now.full != last_.full) {
      const int slot = now.full && !last_.full ? 9 : now.index - 1;
      events_.push_back({LogEvent::kAppend, now.lines[slot], ms});
    } else if (now.full && Scrolled(now)) {
      events_.push_back({LogEvent::kAppend, now.lines[9], ms});
    } else {
      events_.push_back({LogEvent::kReplace, now.lines[now.index], ms});
    }
    last_ = now;
  }
  // A full log scrolled by one: slots 0..8 now hold what 1..9 held, and did
  // not already hold it (a replace leaves them as they were).
  bool Scrolled(const State& now) const {
    bool shifted = true, same = true;
    for (int k = 0; k < 9; ++k) {
      shifted = shifted && std::strcmp(now.lines[k], last_.lines[k + 1]) == 0;
      same = same && std::strcmp(now.lines[k], last_.lines[k]) == 0;
    }
    return shifted && !same;
  }
  State last_{};
  std::vector<LogEvent> events_;
};
