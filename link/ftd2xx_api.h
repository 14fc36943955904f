// The FTD2XX.dll functions LORMIX uses, declared from the library's public
// programming interface: the caller (link/adapter_ftd2xx.cpp) and the
// simulated drop-in DLL (sim/ftd2xx_dll.cpp) both see these declarations, and
// the import library is built from link/ftd2xx_<arch>.def.
//
// They live in namespace d2xx with C linkage: the adapter seam declares C++
// functions with some of the same names (FT_SetBaudRate ...), and the
// namespace keeps the two apart in the source while the linker sees the
// library's plain (C, stdcall) names. Windows only.
#pragma once
#include <cstdint>

#if defined(_WIN32)
#define D2XX_CALL __stdcall
#else
#error "FTD2XX.dll exists only on Windows"
#endif

namespace d2xx {

using Status = uint32_t;  // 0 is FT_OK
using Handle = void*;

constexpr uint32_t kListNumberOnly = 0x80000000;
constexpr uint32_t kOpenByDescription = 2;

extern "C" {
// With kListNumberOnly: arg1 receives the number of attached devices, arg2 unused.
Status D2XX_CALL FT_ListDevices(void* arg1, void* arg2, uint32_t flags);
// With kOpenByDescription: arg1 is the zero-terminated USB description.
Status D2XX_CALL FT_OpenEx(void* arg1, uint32_t flags, Handle* handle);
Status D2XX_CALL FT_Close(Handle handle);
Status D2XX_CALL FT_SetFlowControl(Handle handle, uint16_t flowControl, uint8_t xon, uint8_t xoff);
Status D2XX_CALL FT_SetDataCharacteristics(Handle handle, uint8_t wordLength, uint8_t stopBits,
                                           uint8_t parity);
Status D2XX_CALL FT_SetBaudRate(Handle handle, uint32_t baudRate);
Status D2XX_CALL FT_SetLatencyTimer(Handle handle, uint8_t milliseconds);
Status D2XX_CALL FT_SetChars(Handle handle, uint8_t eventChar, uint8_t eventEnable, uint8_t errorChar,
                             uint8_t errorEnable);
Status D2XX_CALL FT_GetStatus(Handle handle, uint32_t* rxQueue, uint32_t* txQueue,
                              uint32_t* eventStatus);
Status D2XX_CALL FT_Read(Handle handle, void* buffer, uint32_t count, uint32_t* bytesRead);
Status D2XX_CALL FT_Write(Handle handle, void* buffer, uint32_t count, uint32_t* bytesWritten);
// deviceType receives an FT_DEVICE value (a 32-bit enum); the text buffers
// must hold the library's longest strings (LORMIX passes 260 bytes each).
Status D2XX_CALL FT_GetDeviceInfo(Handle handle, uint32_t* deviceType, uint32_t* deviceId,
                                  char* serialNumber, char* description, void* reserved);
// DTR: Set drives the DTR# pin low (asserted), Clr drives it high.
Status D2XX_CALL FT_SetDtr(Handle handle);
Status D2XX_CALL FT_ClrDtr(Handle handle);
}

}  // namespace d2xx
