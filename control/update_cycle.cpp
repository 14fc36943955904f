#include "control/update_cycle.h"

#include "app/status_log.h"
#include "control/detection.h"
#include "control/identification.h"
#include "link/adapter_connection.h"
#include "link/host_services.h"
#include "update/programming.h"

constexpr uint32_t kAdapterRetryMs = 100;
constexpr uint32_t kAdapterMessageEveryMs = 5000;
constexpr uint32_t kResetPulseMs = 20;
constexpr uint32_t kAfterResetMs = 200;
constexpr uint32_t kErrorPauseMs = 2000;

static void PulseResetLine() {
  AdapterSetResetLine(AdapterHandle);
  HostSleep(kResetPulseMs);
  AdapterClearResetLine(AdapterHandle);
}

// Returns once an adapter is open and configured, with a freshly cleared log
// that starts with the adapter's own lines.
static void OpenAdapterPhase() {
  for (;;) {
    ClearStatusLog();
    if (OpenAdapter(0) == 0) return;
    const uint32_t t = HostTickCount();
    while (HostTickCount() - t < kAdapterMessageEveryMs) {
      // A quiet success still goes round once more, so the log is cleared and
      // the adapter's lines are shown by a loud open.
      if (OpenAdapter(1) == 0) break;
      HostSleep(kAdapterRetryMs);
    }
  }
}

// The same unit: hardware codes and ID. The level is left out, since a device
// may already report the new one before the final frame.
static bool SameDevice(const DeviceIdentity& a, const DeviceIdentity& b) {
  return a.codeH == b.codeH && a.codeB == b.codeB && a.idA == b.idA && a.idB == b.idB;
}

// Program the device identified last, identify again, and send the held final
// frame. The final frame makes the device run what it was given, so it goes
// only to the device the image was chosen for: a device swapped mid-image, or
// a bridge that stopped relaying, must not commit another device's image.
static int ProgramAndFinish() {
  int r;
  const DeviceIdentity chosenFor = DeviceInfo;
  deferredLength = 0;
  if ((r = ProgramDevice()) != 0) return r;
  if ((r = ReadDeviceInfo()) != 0) return r;
  ShowDeviceIdentity();
  if (!SameDevice(DeviceInfo, chosenFor)) {
    AppendStatusLine("Error: device changed during update");
    return 7;
  }
  return SendDeferredFrame();
}

int RunUpdateCycle() {
  int r;
  OpenAdapterPhase();

  SetAdapterLatency();
  SetAdapterEventChar();
  PulseResetLine();
  if ((r = DetectDevice(10)) != 0) return r;
  if ((r = ReadDeviceInfo()) != 0) return r;
  ShowDeviceIdentity();
  const bool bridgeActive = EnterBridgeMode() == 0;

  if (bridgeActive) {
    AppendStatusLine("Bridge mode activated");
    if ((r = DetectDevice(1)) != 0) return r;
    if ((r = ReadDeviceInfo()) != 0) return r;
    ShowDeviceIdentity();
    if ((r = ProgramAndFinish()) != 0) return r;
  }

  PulseResetLine();
  HostSleep(kAfterResetMs);
  if ((r = ReadDeviceInfo()) != 0) return r;
  if (bridgeActive) ShowDeviceIdentity();
  return ProgramAndFinish();
}

int UpdateWorker(void* parameter) {
  (void)parameter;
  for (;;) {
    const int r = RunUpdateCycle();
    if (r == 1) continue;
    if (r != 0) {
      AppendStatusLine("Update error. Try again please.");
      HostSleep(kErrorPauseMs);
      WaitForDisconnect();
      continue;
    }
    AppendStatusLine("");
    AppendStatusLine("Update done o.k.");
    AppendStatusLine("Disconnect device please.");
    WaitForDisconnect();
    if (HostAskQuestion(mainWindow, "Update another device?", "Update done o.k.") == kHostAnswerYes)
      continue;
    HostPostCommand(mainWindow, kExitCommand);
    return 0;
  }
}
