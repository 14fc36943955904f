// The command grammar of the simulated TQ410 (documented in sim/tq410_grammar.md).
// Shared by the release generator, which writes command frames, and the
// simulated device, which reads them and writes replies. The updater itself
// never looks inside a frame: it only sends stored frames and checks replies.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tq410 {

constexpr uint8_t kCommandLead = 0x35;
constexpr uint8_t kReplyLead = 0xAD;

// Presence probe and its answer: raw bytes, outside the frame grammar.
constexpr uint8_t kProbe[5] = {0x35, 0x3A, 0xF0, 0x01, 0x64};
constexpr uint8_t kProbeAnswer[2] = {0xAC, 0x3A};

// Command byte (frame offset 2).
enum Command : uint8_t {
  kGetInfo = 0x01,
  kBridge = 0x02,
  kWrite = 0x10,      // write a block; reply R8
  kWriteLong = 0x11,  // write a block into a sector that needs erasing first; reply R8, late
  kWriteR5 = 0x12,    // write a block; reply R5
  kCommit = 0x1F,     // check the staged blocks and make them the firmware; reply R6
  kProbeCommand = 0xF0,
};

// Keys (frame offset 1): the reply repeats the key and descrambles with it, so
// every frame of one image has its own, and none is the probe's 0x3A.
constexpr uint8_t kGetInfoKey = 0x21;
constexpr uint8_t kBridgeKey = 0x22;
constexpr uint8_t ImageFrameKey(int entryIndex) { return static_cast<uint8_t>(0x40 + entryIndex); }

// Frame layout: lead, key, command, total length (LE16), body, CRC (LE16).
constexpr size_t kHeaderSize = 5;
constexpr size_t kCrcSize = 2;
constexpr size_t kMinFrame = kHeaderSize + kCrcSize;
constexpr size_t kAddressSize = 4;  // write bodies begin with the block address (LE32)

// Reply codes (payload bytes 0 and 1).
constexpr uint8_t kCodeInfo = '1';
constexpr uint8_t kCodeWritten = '8';
constexpr uint8_t kCodeWrittenR5 = '5';
constexpr uint8_t kCodeCommitted = '6';
constexpr uint8_t kCodeRefused = '7';
constexpr uint8_t kCodeBridge = '9';

// The same CRC-16 the updater checks replies with (reflected CCITT, init 0x7777).
// Written out again here on purpose: the device's encoder must not share code
// with the updater's decoder it is testing.
inline uint16_t Crc16(const uint8_t* data, size_t length, uint16_t crc = 0x7777) {
  for (size_t i = 0; i < length; ++i) {
    uint8_t x = static_cast<uint8_t>(data[i] ^ (crc & 0xFF));
    x = static_cast<uint8_t>(x ^ (x << 4));
    crc = static_cast<uint16_t>(((x << 8) | (crc >> 8)) ^ (x >> 4) ^ (x << 3));
  }
  return crc;
}

// A complete command frame around `body`.
inline std::vector<uint8_t> BuildCommand(uint8_t key, uint8_t command,
                                         const std::vector<uint8_t>& body) {
  const size_t total = kHeaderSize + body.size() + kCrcSize;
  std::vector<uint8_t> frame = {kCommandLead, key, command, static_cast<uint8_t>(total & 0xFF),
                                static_cast<uint8_t>(total >> 8)};
  frame.insert(frame.end(), body.begin(), body.end());
  const uint16_t crc = Crc16(frame.data(), frame.size());
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

// A reply frame as it travels: lead, key, N, payload scrambled with the key,
// CRC over the bytes as sent. The updater undoes the scrambling with
// ((s + 0x5D) mod 256) XOR key.
inline std::vector<uint8_t> BuildReply(uint8_t key, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> reply = {kReplyLead, key, static_cast<uint8_t>(payload.size())};
  for (uint8_t plain : payload) reply.push_back(static_cast<uint8_t>((plain ^ key) - 0x5D));
  const uint16_t crc = Crc16(reply.data(), reply.size());
  reply.push_back(static_cast<uint8_t>(crc & 0xFF));
  reply.push_back(static_cast<uint8_t>(crc >> 8));
  return reply;
}

// Body of the commit frame: new firmware level, number of blocks, total data
// bytes and Crc16 over all data in address order, then 0xFF padding.
struct CommitBody {
  uint16_t level;
  uint16_t blocks;
  uint32_t totalBytes;
  uint16_t dataCrc;
};
constexpr size_t kCommitFields = 10;

}  // namespace tq410
