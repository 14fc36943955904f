// Device identification and bridge mode: the stored get-info and bridge frames
// sent through the frame exchange. Worker thread only, while an adapter is open.
#pragma once
#include <cstdint>

// The identity of the device last read; each field holds a 16-bit value.
struct DeviceIdentity {
  uint32_t codeH;  // hardware code; 0 suppresses the identity line
  uint32_t codeB;  // second device code
  uint32_t codeS;  // firmware level
  uint32_t idA;    // the device's ID, first number
  uint32_t idB;    // second number
};

// Written only by ReadDeviceInfo; all zero at program start and after a failed read.
extern DeviceIdentity DeviceInfo;

constexpr uint32_t kGetInfoTimeoutMs = 200;
constexpr uint32_t kBridgeTimeoutMs = 200;
constexpr int kGetInfoAttempts = 5;
constexpr int kBridgeExchanges = 3;
constexpr uint32_t kInfoPayloadSize = 17;  // reply code and the five values with their gaps

// Sends the stored get-info frame, up to five attempts alternating between
// waiting for the echo (skipEcho 0, first) and not (skipEcho 1), with a probe
// after each failed attempt; skipEcho keeps the setting that worked. An attempt
// fails on any exchange failure, a reply code other than R1, or a payload too
// short to hold the five values. Returns 0 DeviceInfo read; 7 failed
// ("Error_GetDeviceInfo !!!", DeviceInfo all zero, skipEcho 1).
int ReadDeviceInfo();

// Appends "ID (idA:idB) H:codeH B:codeB S:codeS", unless codeH is 0.
void ShowDeviceIdentity();

// Sends the stored bridge frame, up to three exchanges with no pause between.
// Any valid reply counts. Returns 0 bridge mode active, 13 not.
int EnterBridgeMode();
