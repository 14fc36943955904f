#include "control/detection.h"

#include <cstdio>
#include <cstring>

#include "app/status_log.h"
#include "link/adapter_connection.h"
#include "link/frame_exchange.h"
#include "link/host_services.h"

int spinnerIndex = 0;

static const char kSpinner[] = "/-\\|";

static void LoadProbe() {
  std::memcpy(TransmitFrame, probeFrame, kProbeLength);
  txLength = kProbeLength;
}

// One read of what the receive queue holds, at most the window's size. An
// empty queue or a failed read gives nothing.
static uint32_t ReadWindow(uint8_t* window) {
  uint32_t rxQueue = 0, txQueue = 0, events = 0;
  AdapterGetStatus(AdapterHandle, &rxQueue, &txQueue, &events);
  if (rxQueue == 0) return 0;
  const uint32_t want = rxQueue < kReadWindowSize ? rxQueue : kReadWindowSize;
  uint32_t got = 0;
  if (AdapterRead(AdapterHandle, window, want, &got) != 0) return 0;
  return got <= want ? got : want;
}

static bool IsAnswerAt(const uint8_t* window, uint32_t i) {
  return window[i] == kProbeAnswerLead && window[i + 1] == probeFrame[1];
}

static void ShowReconnectPrompt() {
  spinnerIndex += 1;
  if (spinnerIndex >= 4) spinnerIndex = 0;
  char text[kStatusSlotSize];
  std::snprintf(text, sizeof text, "Reconnect device please. (%c)", kSpinner[spinnerIndex]);
  ReplaceStatusLine(text);
}

int ProbeDevice() {
  DrainAdapter();
  LoadProbe();
  uint32_t written = 0;
  AdapterWrite(AdapterHandle, TransmitFrame, txLength, &written);
  HostSleep(20);
  uint8_t window[kReadWindowSize];
  const uint32_t n = ReadWindow(window);
  for (uint32_t i = 0; i + 1 < n; ++i)
    if (IsAnswerAt(window, i)) return 0;
  return 1;
}

int DetectDeviceOnce() {
  const uint32_t start = HostTickCount();
  uint32_t promptDue = start;
  int answerCount = 0;

  DrainAdapter();
  LoadProbe();
  for (;;) {
    uint32_t written = 0;
    AdapterWrite(AdapterHandle, TransmitFrame, txLength, &written);
    HostSleep(6);

    uint8_t window[kReadWindowSize];
    const uint32_t n = ReadWindow(window);
    // Every position holding the pair counts, several in one read included.
    for (uint32_t i = 0; i + 1 < n; ++i) {
      if (!IsAnswerAt(window, i)) continue;
      promptDue = HostTickCount();
      answerCount += 1;
      if (answerCount >= kAnswersToDetect) {
        DrainAdapter();
        return 0;
      }
    }

    // Due times advance by exactly one interval, so after a stall the prompt
    // is redrawn on consecutive passes until it has caught up.
    if (HostTickCount() - promptDue >= kPromptIntervalMs) {
      ShowReconnectPrompt();
      promptDue += kPromptIntervalMs;
    }

    // Liveness: a pulled-out adapter no longer answers this.
    uint32_t deviceType = 0, deviceId = 0;
    char serialNumber[260], description[260];
    if (AdapterGetDeviceInfo(AdapterHandle, &deviceType, &deviceId, serialNumber, description,
                             nullptr) != 0)
      adapterFault = 1;

    if (HostTickCount() - start >= kDetectAttemptMs || adapterFault != 0) return 1;
  }
}

int DetectDevice(int attempts) {
  AppendStatusLine("Device searching...");
  while (DetectDeviceOnce() != 0) {
    attempts -= 1;
    if (attempts <= 0) {
      AppendStatusLine("Device not detected.");
      return 1;
    }
  }
  AppendStatusLine("Device detected.");
  return 0;
}

void WaitForDisconnect() {
  for (;;) {
    HostSleep(100);
    if (ProbeDevice() == 0) continue;
    if (ProbeDevice() == 0) continue;
    if (ProbeDevice() == 0) continue;
    break;
  }
  AdapterClose(AdapterHandle);
  AdapterHandle = nullptr;
}
