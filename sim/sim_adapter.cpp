// Binds the adapter seam to the simulated FT232R of sim::TheWorld().
#include "link/adapter_ops.h"
#include "sim/world.h"

using sim::TheWorld;

AdapterStatus AdapterListDevices(uint32_t* deviceCount) { return TheWorld().ListDevices(deviceCount); }

AdapterStatus AdapterOpenByDescription(const char* description, uint32_t selector,
                                       AdapterHandleType* handle) {
  return TheWorld().OpenByDescription(description, selector, handle);
}

AdapterStatus AdapterClose(AdapterHandleType handle) { return TheWorld().Close(handle); }

AdapterStatus FT_SetFlowControl(AdapterHandleType handle, uint16_t flowControl, uint8_t xon,
                                uint8_t xoff) {
  return TheWorld().SetFlowControl(handle, flowControl, xon, xoff);
}

AdapterStatus FT_SetDataCharacteristics(AdapterHandleType handle, uint8_t wordLength,
                                        uint8_t stopBits, uint8_t parity) {
  return TheWorld().SetDataCharacteristics(handle, wordLength, stopBits, parity);
}

AdapterStatus FT_SetBaudRate(AdapterHandleType handle, uint32_t baudRate) {
  return TheWorld().SetBaudRate(handle, baudRate);
}

AdapterStatus FT_SetLatencyTimer(AdapterHandleType handle, uint8_t milliseconds) {
  return TheWorld().SetLatencyTimer(handle, milliseconds);
}

AdapterStatus FT_SetChars(AdapterHandleType handle, uint8_t eventChar, uint8_t eventEnable,
                          uint8_t errorChar, uint8_t errorEnable) {
  return TheWorld().SetChars(handle, eventChar, eventEnable, errorChar, errorEnable);
}

AdapterStatus AdapterGetStatus(AdapterHandleType handle, uint32_t* rxQueue, uint32_t* txQueue,
                               uint32_t* eventStatus) {
  return TheWorld().GetStatus(handle, rxQueue, txQueue, eventStatus);
}

AdapterStatus AdapterRead(AdapterHandleType handle, void* buffer, uint32_t count,
                          uint32_t* bytesRead) {
  return TheWorld().Read(handle, buffer, count, bytesRead);
}

AdapterStatus AdapterWrite(AdapterHandleType handle, const void* buffer, uint32_t count,
                           uint32_t* bytesWritten) {
  return TheWorld().Write(handle, buffer, count, bytesWritten);
}

AdapterStatus AdapterGetDeviceInfo(AdapterHandleType handle, uint32_t* deviceType,
                                   uint32_t* deviceId, char* serialNumber, char* description,
                                   void* reserved) {
  (void)reserved;
  return TheWorld().GetDeviceInfo(handle, deviceType, deviceId, serialNumber, description);
}

AdapterStatus AdapterSetResetLine(AdapterHandleType handle) {
  return TheWorld().SetResetLine(handle, true);
}

AdapterStatus AdapterClearResetLine(AdapterHandleType handle) {
  return TheWorld().SetResetLine(handle, false);
}
