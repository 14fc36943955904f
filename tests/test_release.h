// A small release for tests, built with the simulated device's own grammar, so
// that tests of identification, bridge mode and programming do not depend on
// the carried bytes: stored command entries, write and commit frames, images,
// and an UpdateDataSet that points at them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/tq410_grammar.h"
#include "update/update_data.h"

namespace test_release {

// A FrameEntry: type in the low four bits of byte 0, 12-bit length in its high
// four bits and byte 1, then the frame.
inline std::vector<uint8_t> Entry(int type, const std::vector<uint8_t>& frame) {
  const size_t length = frame.size();
  std::vector<uint8_t> entry = {static_cast<uint8_t>((length >> 8) << 4 | (type & 0x0F)),
                                static_cast<uint8_t>(length & 0xFF)};
  entry.insert(entry.end(), frame.begin(), frame.end());
  return entry;
}

// A 40-byte stored command frame with a zero body, as get-info and bridge are.
inline std::vector<uint8_t> StoredFrame(uint8_t key, uint8_t command) {
  return tq410::BuildCommand(key, command, std::vector<uint8_t>(40 - tq410::kMinFrame, 0));
}
inline std::vector<uint8_t> GetInfoFrame() {
  return StoredFrame(tq410::kGetInfoKey, tq410::kGetInfo);
}
inline std::vector<uint8_t> BridgeFrame() { return StoredFrame(tq410::kBridgeKey, tq410::kBridge); }

// A write command (0x10, 0x11 or 0x12) for the block at `address`.
inline std::vector<uint8_t> WriteFrame(uint8_t key, uint8_t command, uint32_t address,
                                       const std::vector<uint8_t>& data) {
  std::vector<uint8_t> body = {static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(address >> 16),
                               static_cast<uint8_t>(address >> 24)};
  body.insert(body.end(), data.begin(), data.end());
  return tq410::BuildCommand(key, command, body);
}

// The commit frame for `data` staged in `blocks` blocks, `length` bytes long
// (0xFF padding after the fields).
inline std::vector<uint8_t> CommitFrame(uint8_t key, uint16_t level, uint16_t blocks,
                                        const std::vector<uint8_t>& data, size_t length = 170) {
  const uint32_t total = static_cast<uint32_t>(data.size());
  const uint16_t crc = tq410::Crc16(data.data(), data.size());
  std::vector<uint8_t> body = {static_cast<uint8_t>(level),      static_cast<uint8_t>(level >> 8),
                               static_cast<uint8_t>(blocks),     static_cast<uint8_t>(blocks >> 8),
                               static_cast<uint8_t>(total),      static_cast<uint8_t>(total >> 8),
                               static_cast<uint8_t>(total >> 16), static_cast<uint8_t>(total >> 24),
                               static_cast<uint8_t>(crc),        static_cast<uint8_t>(crc >> 8)};
  body.resize(length - tq410::kMinFrame, 0xFF);
  return tq410::BuildCommand(key, tq410::kCommit, body);
}

// Deterministic block contents.
inline std::vector<uint8_t> BlockData(size_t size, uint32_t seed) {
  std::vector<uint8_t> data(size);
  uint32_t x = seed * 2654435761u + 12345;
  for (auto& b : data) {
    x = x * 1103515245u + 12345;
    b = static_cast<uint8_t>(x >> 16);
  }
  return data;
}

struct TestImage {
  std::vector<uint8_t> bytes;                // UpdateImage: 16-byte header, entries, end byte
  std::vector<uint8_t> data;                 // the device's flash once committed
  std::vector<std::vector<uint8_t>> frames;  // every frame, in entry order (commit last)
  uint16_t level = 0;
};

// An image laid out as the carried ones are: write blocks of the given data
// sizes as type-1 entries (0x10), the last block as a type-2 entry (0x11, the
// long write), then the commit as the type-3 final frame, then the end byte.
inline TestImage BuildImage(uint16_t imageH, uint16_t imageB, uint16_t imageS,
                            const std::vector<size_t>& blockSizes, uint32_t seed = 1,
                            uint8_t marker = kMarkerValid) {
  TestImage image;
  image.level = imageS;
  image.bytes = {marker, 0, 0, 0, 0, 0,
                 static_cast<uint8_t>(imageH), static_cast<uint8_t>(imageH >> 8),
                 static_cast<uint8_t>(imageB), static_cast<uint8_t>(imageB >> 8),
                 static_cast<uint8_t>(imageS), static_cast<uint8_t>(imageS >> 8),
                 0xFF, 0xFF, 0xFF, 0xFF};
  int index = 0;
  for (size_t k = 0; k < blockSizes.size(); ++k, ++index) {
    const bool last = k + 1 == blockSizes.size();
    const std::vector<uint8_t> data = BlockData(blockSizes[k], seed * 1000 + static_cast<uint32_t>(k));
    const auto frame =
        WriteFrame(tq410::ImageFrameKey(index), last ? tq410::kWriteLong : tq410::kWrite,
                   static_cast<uint32_t>(image.data.size()), data);
    image.data.insert(image.data.end(), data.begin(), data.end());
    const auto entry = Entry(last ? 2 : 1, frame);
    image.bytes.insert(image.bytes.end(), entry.begin(), entry.end());
    image.frames.push_back(frame);
  }
  const auto commit = CommitFrame(tq410::ImageFrameKey(index), imageS,
                                  static_cast<uint16_t>(blockSizes.size()), image.data);
  const auto entry = Entry(3, commit);
  image.bytes.insert(image.bytes.end(), entry.begin(), entry.end());
  image.frames.push_back(commit);
  image.bytes.push_back(0x00);
  return image;
}

// A data set of its own: the two stored entries and up to four images. Holds
// the bytes that `set` points into, so it is neither copied nor moved.
struct TestDataSet {
  std::vector<uint8_t> getInfoEntry = Entry(1, GetInfoFrame());
  std::vector<uint8_t> bridgeEntry = Entry(1, BridgeFrame());
  TestImage images[kImageSlots];
  std::string names[kImageSlots];
  uint8_t versions[kImageSlots][2] = {};
  UpdateDataSet set{};

  TestDataSet() { Bind(); }
  TestDataSet(const TestDataSet&) = delete;
  TestDataSet& operator=(const TestDataSet&) = delete;

  void SetSlot(int slot, TestImage image, std::string name, uint8_t version0, uint8_t version1) {
    images[slot] = std::move(image);
    names[slot] = std::move(name);
    versions[slot][0] = version0;
    versions[slot][1] = version1;
    Bind();
  }

  // Refreshes the pointers in `set`; call after changing the members directly.
  const UpdateDataSet* Bind() {
    for (int k = 0; k < kImageSlots; ++k) {
      const bool filled = !images[k].bytes.empty();
      set.imageTable[k] = filled ? images[k].bytes.data() : nullptr;
      set.nameTable[k] = filled ? names[k].c_str() : nullptr;
      set.versionTable[k] = filled ? versions[k] : nullptr;
    }
    set.getInfoEntry = getInfoEntry.data();
    set.bridgeEntry = bridgeEntry.data();
    return &set;
  }
};

}  // namespace test_release
