#include "link/frame_exchange.h"

#include <cstring>

#include "link/adapter_connection.h"
#include "link/host_services.h"

uint8_t TransmitFrame[kTransmitFrameSize];
uint32_t txLength = 0;
uint8_t ReceiveBuffer[kReceiveBufferSize];
uint32_t rxCount = 0;
int skipEcho = 0;

uint16_t FrameCrc16(const uint8_t* data, size_t length) {
  uint16_t crc = 0x7777;
  for (size_t i = 0; i < length; ++i) {
    uint8_t x = static_cast<uint8_t>(data[i] ^ (crc & 0xFF));
    x = static_cast<uint8_t>(x ^ (x << 4));
    crc = static_cast<uint16_t>(((x << 8) | (crc >> 8)) ^ (x >> 4) ^ (x << 3));
  }
  return crc;
}

int ValidateReply() {
  if (rxCount < 5) return 1;
  if (ReceiveBuffer[0] != kReplyLead) return 2;
  if (static_cast<uint32_t>(ReceiveBuffer[2]) + 5 != rxCount) return 3;
  if (FrameCrc16(ReceiveBuffer, rxCount) != 0) return 4;
  return 0;
}

// The read of one pass: a byte if one is waiting. A pass that reads nothing
// (empty queue, failed read) sleeps 1 ms, so bytes already queued are taken
// without delay.
static bool TakeByte(uint8_t* byte) {
  uint32_t rxQueue = 0, txQueue = 0, events = 0, got = 0;
  AdapterGetStatus(AdapterHandle, &rxQueue, &txQueue, &events);
  if (rxQueue != 0 && AdapterRead(AdapterHandle, byte, 1, &got) == 0 && got == 1) return true;
  HostSleep(1);
  return false;
}

static void StoreByte(uint8_t byte) {
  if (rxCount < kReceiveBufferSize) ReceiveBuffer[rxCount++] = byte;
}

// Echo phase: true once the last txLength bytes received equal the frame.
static bool AwaitEcho() {
  const uint32_t t0 = HostTickCount();
  for (;;) {
    const uint32_t now = HostTickCount();
    uint8_t byte;
    if (TakeByte(&byte)) {
      StoreByte(byte);
      if (rxCount == 1 && byte != TransmitFrame[0]) rxCount = 0;
      if (rxCount == txLength) {
        if (std::memcmp(ReceiveBuffer, TransmitFrame, txLength) == 0) return true;
        // A false start: slide by one byte. The new front is not retested.
        --rxCount;
        std::memmove(ReceiveBuffer, ReceiveBuffer + 1, rxCount);
      }
    }
    if (now - t0 > kEchoWindowMs) return false;
  }
}

int ExchangeFrame(uint32_t timeoutMs) {
  int result = 1;

  static uint8_t drainScratch[kReceiveBufferSize];
  DrainAdapterInto(drainScratch, kReceiveBufferSize);

  uint32_t written = 0;
  if (AdapterWrite(AdapterHandle, TransmitFrame, txLength, &written) != 0) adapterFault += 1;

  rxCount = 0;
  if (skipEcho != 0 || AwaitEcho()) {
    rxCount = 0;
    result = 2;
  }

  const uint32_t t1 = HostTickCount();
  for (;;) {
    const uint32_t now = HostTickCount();
    uint8_t byte;
    if (TakeByte(&byte)) {
      StoreByte(byte);
      if (rxCount == 1 && byte != kProbeAnswerLead && byte != kReplyLead) rxCount = 0;
      if (result == 2 && rxCount >= 5 && ReceiveBuffer[1] == TransmitFrame[1] &&
          ValidateReply() == 0) {
        const uint8_t key = ReceiveBuffer[1];
        for (uint32_t i = 3; i < rxCount; ++i)
          ReceiveBuffer[i] = static_cast<uint8_t>((ReceiveBuffer[i] + 0x5D) & 0xFF) ^ key;
        return 0;
      }
    }
    if (now - t1 > timeoutMs) return result;
  }
}
