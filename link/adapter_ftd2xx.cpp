// Binds the adapter seam to the vendor's FTD2XX.dll (Windows program only).
#include "link/adapter_ops.h"
#include "link/ftd2xx_api.h"

AdapterStatus AdapterListDevices(uint32_t* deviceCount) {
  return d2xx::FT_ListDevices(deviceCount, nullptr, d2xx::kListNumberOnly);
}

AdapterStatus AdapterOpenByDescription(const char* description, uint32_t selector,
                                       AdapterHandleType* handle) {
  // The library takes the description through an untyped pointer; it only reads it.
  return d2xx::FT_OpenEx(const_cast<char*>(description), selector, handle);
}

AdapterStatus AdapterClose(AdapterHandleType handle) { return d2xx::FT_Close(handle); }

AdapterStatus FT_SetFlowControl(AdapterHandleType handle, uint16_t flowControl, uint8_t xon,
                                uint8_t xoff) {
  return d2xx::FT_SetFlowControl(handle, flowControl, xon, xoff);
}

AdapterStatus FT_SetDataCharacteristics(AdapterHandleType handle, uint8_t wordLength,
                                        uint8_t stopBits, uint8_t parity) {
  return d2xx::FT_SetDataCharacteristics(handle, wordLength, stopBits, parity);
}

AdapterStatus FT_SetBaudRate(AdapterHandleType handle, uint32_t baudRate) {
  return d2xx::FT_SetBaudRate(handle, baudRate);
}

AdapterStatus FT_SetLatencyTimer(AdapterHandleType handle, uint8_t milliseconds) {
  return d2xx::FT_SetLatencyTimer(handle, milliseconds);
}

AdapterStatus FT_SetChars(AdapterHandleType handle, uint8_t eventChar, uint8_t eventEnable,
                          uint8_t errorChar, uint8_t errorEnable) {
  return d2xx::FT_SetChars(handle, eventChar, eventEnable, errorChar, errorEnable);
}

AdapterStatus AdapterGetStatus(AdapterHandleType handle, uint32_t* rxQueue, uint32_t* txQueue,
                               uint32_t* eventStatus) {
  const AdapterStatus status = d2xx::FT_GetStatus(handle, rxQueue, txQueue, eventStatus);
  // The seam promises zero counts on failure; the library leaves them as they were.
  if (status != 0) *rxQueue = *txQueue = *eventStatus = 0;
  return status;
}

AdapterStatus AdapterRead(AdapterHandleType handle, void* buffer, uint32_t count,
                          uint32_t* bytesRead) {
  const AdapterStatus status = d2xx::FT_Read(handle, buffer, count, bytesRead);
  if (status != 0) *bytesRead = 0;  // the seam: a failed read brought nothing
  return status;
}

AdapterStatus AdapterWrite(AdapterHandleType handle, const void* buffer, uint32_t count,
                           uint32_t* bytesWritten) {
  // Declared with a non-const buffer; the library only reads it.
  return d2xx::FT_Write(handle, const_cast<void*>(buffer), count, bytesWritten);
}

AdapterStatus AdapterGetDeviceInfo(AdapterHandleType handle, uint32_t* deviceType,
                                   uint32_t* deviceId, char* serialNumber, char* description,
                                   void* reserved) {
  return d2xx::FT_GetDeviceInfo(handle, deviceType, deviceId, serialNumber, description, reserved);
}

// The device's reset input is active low and wired to the adapter's DTR# pin:
// asserting DTR drives the pin low and holds the device in reset.
AdapterStatus AdapterSetResetLine(AdapterHandleType handle) { return d2xx::FT_SetDtr(handle); }

AdapterStatus AdapterClearResetLine(AdapterHandleType handle) { return d2xx::FT_ClrDtr(handle); }
