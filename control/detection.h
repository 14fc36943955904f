// Device detection: presence probes written straight to the adapter, the
// reconnect prompt with its spinner, and the wait for a device to be unplugged.
// Worker thread only, while an adapter is open.
#pragma once
#include <cstdint>

// The presence probe; a running device answers 0xAC 0x3A.
constexpr uint8_t probeFrame[5] = {0x35, 0x3A, 0xF0, 0x01, 0x64};
constexpr uint32_t kProbeLength = 5;

constexpr uint32_t kReadWindowSize = 260;     // one read takes at most this much
constexpr uint32_t kDetectAttemptMs = 2500;   // one detection attempt
constexpr uint32_t kPromptIntervalMs = 500;   // reconnect prompt after this long without an answer
constexpr int kAnswersToDetect = 4;

// Selects the spinner character of the reconnect prompt ("/-\|"); 0 at program
// start, advanced before each use, never reset.
extern int spinnerIndex;

// One probe: drain, write it, wait 20 ms, read once and look for the answer
// pair. Leaves the probe in TransmitFrame. Returns 0 the device answered,
// 1 it did not (also when no adapter answers).
int ProbeDevice();

// One attempt of at most 2500 ms: probes every 6 ms and counts answer pairs;
// shows the reconnect prompt while answers stay away, and ends early when the
// adapter stops answering (adapterFault set, then one pass only). Returns
// 0 detected (four answers; the receive queue is drained), 1 not detected.
int DetectDeviceOnce();

// "Device searching...", up to `attempts` attempts (at least one), then
// "Device detected." or "Device not detected.". Returns 0 detected, 1 not.
int DetectDevice(int attempts);

// Waits, without a time limit and without a status line, until three probes in
// a row go unanswered, then closes the adapter and sets AdapterHandle to null.
void WaitForDisconnect();
