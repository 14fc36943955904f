// One command frame out, one validated and descrambled reply back.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint32_t kTransmitFrameSize = 8192;
constexpr uint32_t kReceiveBufferSize = 4096;

// The frame to send, exactly as it goes on the line; ExchangeFrame never
// changes it, so a retry is another call.
extern uint8_t TransmitFrame[kTransmitFrameSize];
extern uint32_t txLength;

// The echo and then the reply. A byte arriving while it is full is dropped.
extern uint8_t ReceiveBuffer[kReceiveBufferSize];
extern uint32_t rxCount;

// Non-zero: do not wait for the echo of the frame. Written by ReadDeviceInfo.
extern int skipEcho;

constexpr uint8_t kReplyLead = 0xAD;
constexpr uint8_t kProbeAnswerLead = 0xAC;
constexpr uint32_t kEchoWindowMs = 100;

// CRC-16/CCITT, reflected (0x8408), initial 0x7777, no final XOR. A run followed
// by its own CRC (low byte first) gives 0.
uint16_t FrameCrc16(const uint8_t* data, size_t length);

// Checks the first rxCount bytes of ReceiveBuffer. 0 valid; 1 fewer than 5
// bytes; 2 lead byte not 0xAD; 3 length byte + 5 differs from rxCount; 4 CRC
// over the whole reply is not 0.
int ValidateReply();

// Drains the receive queue, writes txLength bytes of TransmitFrame, waits up to
// 100 ms for their echo (unless skipEcho), then up to timeoutMs for a valid reply
// whose byte 1 equals the frame's byte 1. Returns
//   0  valid reply; ReceiveBuffer holds it (rxCount = N + 5), bytes 3.. descrambled
//   1  the echo did not come within 100 ms (only when skipEcho is 0)
//   2  no valid reply in time
// A failed write adds 1 to adapterFault; the exchange still runs its windows.
int ExchangeFrame(uint32_t timeoutMs);
