// Finding, opening and configuring the USB-serial adapter.
#pragma once
#include <cstdint>

#include "link/adapter_ops.h"

// The open adapter, null while none is open. Worker thread only.
extern AdapterHandleType AdapterHandle;

// 0: no adapter fault seen since the last successful open. Raised by a failed
// write (ExchangeFrame) and a failed liveness query (detection).
extern int adapterFault;

constexpr const char* kAdapterDescription = "FT232R USB UART";
constexpr uint32_t kLineBaudRate = 38400;
constexpr uint8_t kLatencyTimerMs = 4;
constexpr uint8_t kEventChar = 13;

// Closes any open adapter, then lists, opens and sets flow control, data format
// and baud rate. quiet 1 suppresses the two lines of a failed open (only 1).
// Returns 0 open and configured; 101 the adapter list could not be read;
// 102 no adapter with the description could be opened. A refused setting
// reports its own line and does not change the result.
int OpenAdapter(int quiet);

// Sets the latency timer (4 ms). Returns 0, or 2 when the adapter refuses.
int SetAdapterLatency();

// Sets event character 13 (enabled) and error character 0 (disabled).
// Returns 0, or 2 when the adapter refuses.
int SetAdapterEventChar();

// Reads and discards whatever the receive queue holds, 260 bytes at a time,
// until it reports empty or a read fails or brings nothing.
void DrainAdapter();

// The same, `size` bytes at a time into the caller's scratch buffer (the frame
// exchange drains in reads of up to 4096).
void DrainAdapterInto(uint8_t* scratch, uint32_t size);
