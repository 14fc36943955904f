#include "app/status_log.h"

#include <cstring>
#include <mutex>

#include "link/host_services.h"

void* mainWindow = nullptr;

// Guards lines, lineIndex and full. Held only for a copy of at most ten slots;
// the repaint request is made after release, so the GUI thread (which takes the
// lock to paint) is never waited for while it is held.
static std::mutex logLock;

StatusLog statusLog;

StatusLog::StatusLog() {
  std::memset(lines, 0, sizeof lines);
  lineIndex = 0;
  full = 0;
}

static void RequestRepaint() {
  void* window = mainWindow;
  if (window != nullptr) HostRequestRepaint(window);
}

// Length of text if it fits a slot, -1 if it must be dropped. Never reads past
// the 260th character, so an unterminated caller buffer cannot run away.
static int FittingLength(const char* text) {
  const void* end = std::memchr(text, '\0', kStatusSlotSize);
  if (end == nullptr) return -1;
  return static_cast<int>(static_cast<const char*>(end) - text);
}

void AppendStatusLine(const char* text) {
  int length = FittingLength(text);
  if (length < 0) return;
  {
    std::lock_guard<std::mutex> hold(logLock);
    if (statusLog.full) {
      for (int k = 1; k < kStatusLines; ++k)
        std::memcpy(statusLog.lines[k - 1], statusLog.lines[k], kStatusSlotSize);
    }
    std::memcpy(statusLog.lines[statusLog.lineIndex], text, length + 1);
    if (statusLog.lineIndex < kStatusLines - 1)
      ++statusLog.lineIndex;
    else
      statusLog.full = 1;
  }
  RequestRepaint();
}

void ReplaceStatusLine(const char* text) {
  int length = FittingLength(text);
  if (length < 0) return;
  {
    std::lock_guard<std::mutex> hold(logLock);
    std::memcpy(statusLog.lines[statusLog.lineIndex], text, length + 1);
  }
  RequestRepaint();
}

void ClearStatusLog() {
  {
    std::lock_guard<std::mutex> hold(logLock);
    for (auto& slot : statusLog.lines) slot[0] = '\0';
    statusLog.lineIndex = 0;
    statusLog.full = 0;
  }
  RequestRepaint();
}

void CopyStatusLines(char out[kStatusLines][kStatusSlotSize]) {
  std::lock_guard<std::mutex> hold(logLock);
  std::memcpy(out, statusLog.lines, sizeof statusLog.lines);
}
