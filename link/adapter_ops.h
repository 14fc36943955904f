// The adapter seam: the fourteen operations the update logic uses to reach the
// USB-serial adapter. Nothing else in the logic touches the adapter.
//
// Bound at link time: the Windows program links link/adapter_ftd2xx.cpp (the
// vendor's FTD2XX.dll), the tests link sim/sim_adapter.cpp (the simulated
// FT232R on a virtual clock).
//
// Every operation returns a status: 0 is success, anything else a failure.
// All but the first two take the open adapter's handle first.
#pragma once
#include <cstdint>

using AdapterStatus = uint32_t;
using AdapterHandleType = void*;

constexpr uint32_t kOpenByDescription = 2;  // selector for AdapterOpenByDescription

// Counts attached adapters. Returns 0 when the list could be read (even with
// no adapter attached); non-zero when the driver cannot be asked.
AdapterStatus AdapterListDevices(uint32_t* deviceCount);

// Opens the adapter whose USB description equals `description`. On 0 the
// handle is stored; on non-zero (none attached, already open, refused) it is
// left unusable.
AdapterStatus AdapterOpenByDescription(const char* description, uint32_t selector,
                                       AdapterHandleType* handle);

// Closes the handle. Callers rely on nothing; the handle is dead afterwards.
AdapterStatus AdapterClose(AdapterHandleType handle);

// Line settings. Each returns 0 when the adapter took the setting.
AdapterStatus FT_SetFlowControl(AdapterHandleType handle, uint16_t flowControl, uint8_t xon,
                                uint8_t xoff);
AdapterStatus FT_SetDataCharacteristics(AdapterHandleType handle, uint8_t wordLength,
                                        uint8_t stopBits, uint8_t parity);
AdapterStatus FT_SetBaudRate(AdapterHandleType handle, uint32_t baudRate);
AdapterStatus FT_SetLatencyTimer(AdapterHandleType handle, uint8_t milliseconds);
AdapterStatus FT_SetChars(AdapterHandleType handle, uint8_t eventChar, uint8_t eventEnable,
                          uint8_t errorChar, uint8_t errorEnable);

// Reports the bytes waiting in the receive queue (what a read can take at once
// without waiting), the bytes still to be sent, and the event state. On a
// non-zero status the counts are 0.
AdapterStatus AdapterGetStatus(AdapterHandleType handle, uint32_t* rxQueue, uint32_t* txQueue,
                               uint32_t* eventStatus);

// Reads up to `count` bytes; `bytesRead` tells how many came. Callers never ask
// for more than AdapterGetStatus has just reported, so a read never waits.
// Non-zero: nothing was read.
AdapterStatus AdapterRead(AdapterHandleType handle, void* buffer, uint32_t count,
                          uint32_t* bytesRead);

// Hands `count` bytes to the adapter. Blocks while the line takes all but the
// adapter's own buffer (at most 256 bytes), as the chip does. Non-zero: the
// adapter is gone or refused.
AdapterStatus AdapterWrite(AdapterHandleType handle, const void* buffer, uint32_t count,
                           uint32_t* bytesWritten);

// Asks the adapter who it is. Non-zero means the adapter no longer answers
// (unplugged). serialNumber and description are 260-byte buffers; the last
// argument is reserved and null.
AdapterStatus AdapterGetDeviceInfo(AdapterHandleType handle, uint32_t* deviceType,
                                   uint32_t* deviceId, char* serialNumber, char* description,
                                   void* reserved);

// The reset line: Set starts the pulse on the cable's reset wire, Clear ends it.
AdapterStatus AdapterSetResetLine(AdapterHandleType handle);
AdapterStatus AdapterClearResetLine(AdapterHandleType handle);
