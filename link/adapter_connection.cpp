#include "link/adapter_connection.h"

#include "app/status_log.h"

AdapterHandleType AdapterHandle = nullptr;
int adapterFault = 0;

int OpenAdapter(int quiet) {
  if (AdapterHandle != nullptr) AdapterClose(AdapterHandle);
  AdapterHandle = nullptr;

  uint32_t deviceCount = 0;
  if (AdapterListDevices(&deviceCount) != 0) {
    // Reported even when quiet: a driver that cannot list adapters needs the operator.
    AppendStatusLine("Error USB adapter invalid");
    return 101;
  }

  if (AdapterOpenByDescription(kAdapterDescription, kOpenByDescription, &AdapterHandle) != 0) {
    AdapterHandle = nullptr;
    if (quiet == 1) return 102;
    AppendStatusLine("USB adapter connection - Failed");
    AppendStatusLine("Insert USB adapter please.");
    return 102;
  }

  if (FT_SetFlowControl(AdapterHandle, 0, 0, 0) != 0)
    AppendStatusLine("Error FT_SetFlowControl Failed");
  if (FT_SetDataCharacteristics(AdapterHandle, 8, 0, 0) != 0)
    AppendStatusLine("Error FT_SetDataCharacteristics Failed");
  if (FT_SetBaudRate(AdapterHandle, kLineBaudRate) != 0)
    AppendStatusLine("Error FT_SetBaudRate Failed");

  adapterFault = 0;
  AppendStatusLine("USB adapter o.k.");
  return 0;
}

int SetAdapterLatency() {
  if (FT_SetLatencyTimer(AdapterHandle, kLatencyTimerMs) != 0) {
    AppendStatusLine("\r\n FT_SetLatencyTimer Failed");
    return 2;
  }
  return 0;
}

int SetAdapterEventChar() {
  if (FT_SetChars(AdapterHandle, kEventChar, 1, 0, 0) != 0) {
    AppendStatusLine("\r\n FT_SetChars Failed");
    return 2;
  }
  return 0;
}

void DrainAdapterInto(uint8_t* scratch, uint32_t size) {
  for (;;) {
    uint32_t rxQueue = 0, txQueue = 0, events = 0;
    AdapterGetStatus(AdapterHandle, &rxQueue, &txQueue, &events);
    if (rxQueue == 0) return;
    const uint32_t want = rxQueue < size ? rxQueue : size;
    uint32_t got = 0;
    if (AdapterRead(AdapterHandle, scratch, want, &got) != 0 || got == 0) return;
  }
}

void DrainAdapter() {
  uint8_t scratch[260];
  DrainAdapterInto(scratch, sizeof scratch);
}
