// The carried release as compiled in, its agreement with the committed release
// files and their generator, and the entry-walking helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "sim/tq410_grammar.h"
#include "update/release_check.h"
#include "update/update_data.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t Le16(const uint8_t* p) { return static_cast<uint32_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return Le16(p) | Le16(p + 2) << 16; }

// Bytes an image occupies: header, entries and the end byte. Only for images
// that end within the entry limit.
size_t ImageSize(const uint8_t* image) {
  const uint8_t* entry = FirstEntry(image);
  while (EntryType(entry) != 0) entry = NextEntry(entry);
  return static_cast<size_t>(entry + 1 - image);
}

struct CarriedSlot {
  int slot;
  const char* name;
  const char* versionLine;
  uint16_t imageH;
  size_t size;
  uint32_t entry36Length;
};

constexpr CarriedSlot kCarried[] = {
    {0, "TQ410_EN", "TQ410_EN ver. 01.20", 0x0A21, 73697, 362},
    {1, "TQ410_CZ", "TQ410_CZ ver. 01.20", 0x0A22, 73677, 342},
    {2, "TQ410_FR", "TQ410_FR ver. 01.20", 0x0A23, 73769, 434},
};

// (type, frame length) of the 39 entries before the end entry.
std::vector<std::pair<int, uint32_t>> ExpectedEntries(uint32_t entry36Length) {
  std::vector<std::pair<int, uint32_t>> entries = {{1, 170}};
  for (int k = 1; k <= 35; ++k) entries.push_back({1, 2078});
  entries.push_back({1, entry36Length});
  entries.push_back({2, 170});
  entries.push_back({3, 170});
  return entries;
}

TEST(CarriedDataSet, SlotsHoldRelease0120) {
  EXPECT_EQ(updateDataSet, &carriedDataSet);
  for (const CarriedSlot& c : kCarried) {
    SCOPED_TRACE(c.name);
    const uint8_t* image = carriedDataSet.imageTable[c.slot];
    const char* name = carriedDataSet.nameTable[c.slot];
    const uint8_t* version = carriedDataSet.versionTable[c.slot];
    ASSERT_NE(image, nullptr);
    ASSERT_NE(name, nullptr);
    ASSERT_NE(version, nullptr);

    EXPECT_STREQ(name, c.name);
    EXPECT_EQ(version[0], 0x20);
    EXPECT_EQ(version[1], 0x01);
    char line[260];
    std::snprintf(line, sizeof line, "%s ver. %02X.%02X", name, version[1], version[0]);
    EXPECT_STREQ(line, c.versionLine);

    EXPECT_EQ(ImageMarker(image), kMarkerValid);
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(image[i], 0x00) << "header byte " << i;
    EXPECT_EQ(ImageH(image), c.imageH);
    EXPECT_EQ(ImageB(image), 0x0235);
    EXPECT_EQ(ImageS(image), 0x013F);
    for (int i = 12; i <= 15; ++i) EXPECT_EQ(image[i], 0xFF) << "header byte " << i;

    const auto expected = ExpectedEntries(c.entry36Length);
    const uint8_t* entry = FirstEntry(image);
    for (size_t k = 0; k < expected.size(); ++k) {
      ASSERT_EQ(EntryType(entry), expected[k].first) << "entry " << k;
      ASSERT_EQ(EntryLength(entry), expected[k].second) << "entry " << k;
      entry = NextEntry(entry);
    }
    EXPECT_EQ(entry[0], 0x00) << "the end entry is the single byte 0x00";
    EXPECT_EQ(static_cast<size_t>(entry + 1 - image), c.size);
    EXPECT_EQ(ImageEntryCount(image), 39);
  }
  EXPECT_EQ(carriedDataSet.imageTable[3], nullptr);
  EXPECT_EQ(carriedDataSet.nameTable[3], nullptr);
  EXPECT_EQ(carriedDataSet.versionTable[3], nullptr);
}

TEST(CarriedDataSet, StoredEntriesAreGetInfoAndBridge) {
  const struct {
    const char* what;
    const uint8_t* entry;
    uint8_t key;
    uint8_t command;
  } cases[] = {
      {"get-info", carriedDataSet.getInfoEntry, tq410::kGetInfoKey, tq410::kGetInfo},
      {"bridge", carriedDataSet.bridgeEntry, tq410::kBridgeKey, tq410::kBridge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(c.entry, nullptr);
    EXPECT_EQ(c.entry[0], 0x01);
    EXPECT_EQ(c.entry[1], 0x28);
    const uint8_t* frame = EntryFrame(c.entry);
    EXPECT_EQ(frame[0], 0x35);
    EXPECT_EQ(frame[1], c.key);
    EXPECT_EQ(frame[2], c.command);
    EXPECT_EQ(Le16(frame + 3), 40u);
    for (int i = 5; i < 38; ++i) EXPECT_EQ(frame[i], 0x00) << "body byte " << i;
    EXPECT_EQ(tq410::Crc16(frame, 40), 0) << "CRC over a frame with its CRC is 0";
  }
}

// The simulated device accepts and commits the images only if every frame
// keeps to its grammar: keys, commands, consecutive addresses, the commit's
// counts and CRC.
TEST(CarriedDataSet, ImageFramesFollowTheDeviceGrammar) {
  Bytes firstBlocks[3];
  for (const CarriedSlot& c : kCarried) {
    SCOPED_TRACE(c.name);
    const uint8_t* entry = FirstEntry(carriedDataSet.imageTable[c.slot]);
    Bytes data;
    for (int k = 0; k < 39; ++k, entry = NextEntry(entry)) {
      SCOPED_TRACE(k);
      const uint8_t* frame = EntryFrame(entry);
      const uint32_t length = EntryLength(entry);
      ASSERT_GE(length, tq410::kMinFrame);
      EXPECT_EQ(frame[0], tq410::kCommandLead);
      EXPECT_EQ(frame[1], tq410::ImageFrameKey(k));
      EXPECT_EQ(Le16(frame + 3), length);
      EXPECT_EQ(tq410::Crc16(frame, length), 0);
      if (k < 38) {
        EXPECT_EQ(frame[2], k == 37 ? tq410::kWriteLong : tq410::kWrite);
        EXPECT_EQ(Le32(frame + 5), data.size()) << "blocks follow each other from address 0";
        data.insert(data.end(), frame + 9, frame + length - 2);
        if (k == 0) firstBlocks[c.slot].assign(frame + 9, frame + length - 2);
      } else {
        EXPECT_EQ(frame[2], tq410::kCommit);
        EXPECT_EQ(Le16(frame + 5), 0x013Fu);
        EXPECT_EQ(Le16(frame + 7), 38u);
        EXPECT_EQ(Le32(frame + 9), data.size());
        EXPECT_EQ(Le16(frame + 13), tq410::Crc16(data.data(), data.size()));
        for (uint32_t i = 5 + tq410::kCommitFields; i < length - 2; ++i) EXPECT_EQ(frame[i], 0xFF);
      }
    }
    EXPECT_EQ(data.size(), 159u + 35 * 2067 + (c.entry36Length - 11) + 159);
  }
  EXPECT_NE(firstBlocks[0], firstBlocks[1]);
  EXPECT_NE(firstBlocks[1], firstBlocks[2]);
  EXPECT_NE(firstBlocks[0], firstBlocks[2]);
}

TEST(CarriedDataSet, MatchesTheReleaseFilesByteForByte) {
  const fs::path dir = LORMIX_RELEASE_DIR;
  const Bytes manifest = ReadFile(dir / "manifest.txt");
  ASSERT_FALSE(manifest.empty()) << dir;
  const ReleaseFileReader reader = [&](const std::string& name, Bytes& bytes) {
    bytes = ReadFile(dir / name);
    return fs::is_regular_file(dir / name);
  };
  Release release;
  std::string message;
  ASSERT_EQ(CheckRelease("manifest.txt",
                         std::string_view(reinterpret_cast<const char*>(manifest.data()), manifest.size()),
                         reader, release, message),
            kReleaseSound)
      << message;

  for (int k = 0; k < kImageSlots; ++k) {
    SCOPED_TRACE(k);
    const ReleaseSlot& slot = release.slots[k];
    ASSERT_EQ(carriedDataSet.imageTable[k] != nullptr, slot.filled);
    ASSERT_EQ(carriedDataSet.nameTable[k] != nullptr, slot.filled);
    ASSERT_EQ(carriedDataSet.versionTable[k] != nullptr, slot.filled);
    if (!slot.filled) continue;
    const uint8_t* image = carriedDataSet.imageTable[k];
    ASSERT_EQ(ImageSize(image), slot.image.size());
    EXPECT_TRUE(Bytes(image, image + slot.image.size()) == slot.image) << slot.imageFile;
    EXPECT_EQ(carriedDataSet.nameTable[k], slot.name);
    EXPECT_EQ(carriedDataSet.versionTable[k][0], slot.version[0]);
    EXPECT_EQ(carriedDataSet.versionTable[k][1], slot.version[1]);
  }
  const uint8_t* getInfo = carriedDataSet.getInfoEntry;
  const uint8_t* bridge = carriedDataSet.bridgeEntry;
  EXPECT_EQ(Bytes(getInfo, getInfo + 2 + EntryLength(getInfo)), release.getInfoEntry);
  EXPECT_EQ(Bytes(bridge, bridge + 2 + EntryLength(bridge)), release.bridgeEntry);
}

TEST(ReleaseGenerator, RegeneratesTheCommittedReleaseExactly) {
  const fs::path committed = LORMIX_GENERATED_RELEASE_DIR;
  const fs::path fresh = fs::path(::testing::TempDir()) / ("lormix_regenerated_release_" + std::to_string(getpid()));
  fs::remove_all(fresh);
  const std::string command = std::string("\"") + LORMIX_MAKE_RELEASE + "\" \"" + fresh.string() + "\"";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  auto names = [](const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& file : fs::directory_iterator(dir)) out.push_back(file.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  };
  const std::vector<std::string> files = names(committed);
  ASSERT_EQ(names(fresh), files);
  EXPECT_EQ(files.size(), 6u);
  for (const std::string& file : files) {
    EXPECT_TRUE(ReadFile(committed / file) == ReadFile(fresh / file)) << file << " differs";
  }
  fs::remove_all(fresh);
}

// An image: a sound header, then `stream` as its entry stream.
Bytes ImageWithStream(const Bytes& stream) {
  static constexpr uint8_t kHeader[kImageHeaderSize] = {0x01, 0,    0,    0,    0,    0,    0x21, 0x0A,
                                                         0x35, 0x02, 0x3F, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
  Bytes image(kImageHeaderSize + stream.size());
  std::copy(std::begin(kHeader), std::end(kHeader), image.begin());
  std::copy(stream.begin(), stream.end(), image.begin() + kImageHeaderSize);
  return image;
}

TEST(EntryWalk, StepsByTypeAndStopsAtTheEndEntry) {
  Bytes longFrame = {0x11, 0x01};  // type 1, length 0x101: the high bits count
  longFrame.push_back(0x35);
  longFrame.resize(2 + 0x101, 0xAB);
  Bytes longThenEnd = longFrame;
  longThenEnd.push_back(0x00);

  const struct {
    const char* what;
    Bytes stream;
    std::vector<size_t> offsets;  // of each entry before the end entry, from the stream's start
  } cases[] = {
      {"only the end entry", {0x00}, {}},
      {"end entry with high bits set", {0xF0}, {}},
      {"end entry with high bits after a frame", {0x01, 0x02, 0x35, 0x40, 0x70}, {0}},
      {"types 6 to 15 are two bytes whatever their length bits",
       {0x36, 0xFF, 0xFF, 0x12, 0x0A, 0x00, 0x00},
       {0, 2, 4}},
      {"types 1 to 5 step over their frame", {0x02, 0x01, 0x35, 0x04, 0x01, 0xEE, 0x05, 0x01, 0x35, 0x00},
       {0, 3, 6}},
      {"12-bit length", longThenEnd, {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes image = ImageWithStream(c.stream);
    EXPECT_EQ(ImageEntryCount(image.data()), static_cast<int>(c.offsets.size()));
    const uint8_t* entry = FirstEntry(image.data());
    for (size_t offset : c.offsets) {
      ASSERT_EQ(static_cast<size_t>(entry - FirstEntry(image.data())), offset);
      entry = NextEntry(entry);
    }
    EXPECT_EQ(EntryType(entry), 0);
    std::string message;
    EXPECT_EQ(CheckImage("walk.img", image.data(), image.size(), message), kReleaseSound) << message;
  }
}

TEST(EntryWalk, CountStopsAtTheEntryLimit) {
  Bytes stream;
  for (int i = 0; i < kMaxEntries + 5; ++i) {
    stream.push_back(0x06);
    stream.push_back(0x00);
  }
  stream.push_back(0x00);
  EXPECT_EQ(ImageEntryCount(ImageWithStream(stream).data()), kMaxEntries);
}

}  // namespace
