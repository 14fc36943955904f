#include "control/identification.h"

#include <cstdio>
#include <cstring>

#include "app/status_log.h"
#include "control/detection.h"
#include "link/frame_exchange.h"
#include "update/update_data.h"

DeviceIdentity DeviceInfo = {0, 0, 0, 0, 0};

// The frame of a stored entry into TransmitFrame; its length is the entry
// header's second byte alone (stored frames are at most 255 bytes).
static void LoadStoredFrame(const uint8_t* entry) {
  const uint32_t length = entry[1];
  std::memcpy(TransmitFrame, entry + 2, length);
  txLength = length;
}

// A 16-bit value at reply position p, low byte first.
static uint32_t ReplyValue(uint32_t p) {
  return static_cast<uint32_t>(ReceiveBuffer[p]) | static_cast<uint32_t>(ReceiveBuffer[p + 1]) << 8;
}

int ReadDeviceInfo() {
  skipEcho = 0;
  int failures = 0;
  for (;;) {
    LoadStoredFrame(updateDataSet->getInfoEntry);
    const int r = ExchangeFrame(kGetInfoTimeoutMs);
    // A shorter reply would leave the values to be read from bytes of an
    // earlier reply, so it counts as a failed attempt.
    if (r == 0 && ReceiveBuffer[2] >= kInfoPayloadSize && ReceiveBuffer[3] == 'R' &&
        ReceiveBuffer[4] == '1') {
      DeviceInfo.codeH = ReplyValue(6);
      DeviceInfo.codeB = ReplyValue(9);
      DeviceInfo.codeS = ReplyValue(12);
      DeviceInfo.idA = ReplyValue(15);
      DeviceInfo.idB = ReplyValue(18);
      return 0;
    }
    failures += 1;
    skipEcho = skipEcho == 0 ? 1 : 0;
    ProbeDevice();
    if (failures >= kGetInfoAttempts) break;
  }
  DeviceInfo = {0, 0, 0, 0, 0};
  AppendStatusLine("Error_GetDeviceInfo !!!");
  return 7;
}

void ShowDeviceIdentity() {
  if (DeviceInfo.codeH == 0) return;
  char text[kStatusSlotSize];
  std::snprintf(text, sizeof text, "ID (%05d:%05d) H:%04X B:%04X S:%04X",
                static_cast<int>(DeviceInfo.idA), static_cast<int>(DeviceInfo.idB),
                static_cast<unsigned>(DeviceInfo.codeH), static_cast<unsigned>(DeviceInfo.codeB),
                static_cast<unsigned>(DeviceInfo.codeS));
  AppendStatusLine(text);
}

int EnterBridgeMode() {
  LoadStoredFrame(updateDataSet->bridgeEntry);
  for (int exchange = 0; exchange < kBridgeExchanges; ++exchange)
    if (ExchangeFrame(kBridgeTimeoutMs) == 0) return 0;
  return 13;
}
