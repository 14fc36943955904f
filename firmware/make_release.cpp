// Writes the carried TQ410 release 01.20: three language images, the get-info
// and bridge entries and the manifest that names them. The firmware bytes are
// synthetic but the frames follow the device grammar exactly (sim/tq410_grammar.h),
// so the simulated device accepts and commits every image. Deterministic: the
// same output on every run and every host, so the committed files can be
// regenerated and compared.
//
// Usage: lormix_make_release <output directory>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/tq410_grammar.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct SlotRecipe {
  const char* name;
  const char* file;
  uint16_t imageH;
  uint32_t lastBlockFrame;  // frame length of entry 36, the only one that differs
  uint32_t seed;            // data bytes differ per language
};

constexpr SlotRecipe kSlots[] = {
    {"TQ410_EN", "tq410_en.img", 0x0A21, 362, 0x454E0120},
    {"TQ410_CZ", "tq410_cz.img", 0x0A22, 342, 0x435A0120},
    {"TQ410_FR", "tq410_fr.img", 0x0A23, 434, 0x46520120},
};
constexpr uint8_t kVersion[2] = {0x20, 0x01};  // shown 01.20
constexpr uint16_t kImageB = 0x0235;
constexpr uint16_t kImageS = 0x013F;  // the level the commit brings

constexpr uint32_t kFirstFrame = 170;
constexpr uint32_t kBlockFrame = 2078;
constexpr int kFullBlocks = 35;     // entries 1 to 35
constexpr uint32_t kTailFrame = 170;   // entry 37, written with an erase first
constexpr uint32_t kCommitFrame = 170; // entry 38, held back until the end
constexpr uint32_t kStoredFrame = 40;

// Frame length of a write command around `dataBytes` of data.
constexpr uint32_t kWriteOverhead = tq410::kHeaderSize + tq410::kAddressSize + tq410::kCrcSize;

void PutLe16(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}
void PutLe32(Bytes& out, uint32_t v) {
  PutLe16(out, v & 0xFFFF);
  PutLe16(out, v >> 16);
}

// FrameEntry: type in the low nibble, 12-bit length above it, then the frame.
void PutEntry(Bytes& out, int type, const Bytes& frame) {
  const uint32_t length = static_cast<uint32_t>(frame.size());
  out.push_back(static_cast<uint8_t>(((length >> 8) & 0x0F) << 4 | (type & 0x0F)));
  out.push_back(static_cast<uint8_t>(length & 0xFF));
  out.insert(out.end(), frame.begin(), frame.end());
}

// xorshift32: fixed arithmetic, so every host makes the same bytes.
struct Noise {
  uint32_t state;
  uint8_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<uint8_t>(state >> 24);
  }
};

Bytes MakeImage(const SlotRecipe& slot) {
  Bytes image = {0x01, 0, 0, 0, 0, 0};  // marker, five unused bytes
  PutLe16(image, slot.imageH);
  PutLe16(image, kImageB);
  PutLe16(image, kImageS);
  image.insert(image.end(), 4, 0xFF);

  std::vector<uint32_t> frames = {kFirstFrame};
  frames.insert(frames.end(), kFullBlocks, kBlockFrame);
  frames.push_back(slot.lastBlockFrame);
  frames.push_back(kTailFrame);

  Noise noise{slot.seed};
  Bytes allData;  // every block's data in address order, for the commit's CRC
  for (size_t k = 0; k < frames.size(); ++k) {
    const bool last = k + 1 == frames.size();
    Bytes body;
    PutLe32(body, static_cast<uint32_t>(allData.size()));
    for (uint32_t i = 0; i < frames[k] - kWriteOverhead; ++i) body.push_back(noise.Next());
    allData.insert(allData.end(), body.begin() + tq410::kAddressSize, body.end());
    const Bytes frame = tq410::BuildCommand(tq410::ImageFrameKey(static_cast<int>(k)),
                                            last ? tq410::kWriteLong : tq410::kWrite, body);
    PutEntry(image, last ? 2 : 1, frame);
  }

  Bytes commit;
  PutLe16(commit, kImageS);
  PutLe16(commit, static_cast<uint32_t>(frames.size()));
  PutLe32(commit, static_cast<uint32_t>(allData.size()));
  PutLe16(commit, tq410::Crc16(allData.data(), allData.size()));
  commit.resize(kCommitFrame - tq410::kHeaderSize - tq410::kCrcSize, 0xFF);
  PutEntry(image, 3,
           tq410::BuildCommand(tq410::ImageFrameKey(static_cast<int>(frames.size())),
                               tq410::kCommit, commit));
  image.push_back(0x00);  // end entry
  return image;
}

Bytes MakeStoredEntry(uint8_t key, uint8_t command) {
  const Bytes body(kStoredFrame - tq410::kHeaderSize - tq410::kCrcSize, 0x00);
  Bytes entry;
  PutEntry(entry, 1, tq410::BuildCommand(key, command, body));
  return entry;
}

bool WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "lormix_make_release: cannot write %s\n", path.string().c_str());
    return false;
  }
  return true;
}

Bytes ManifestText() {
  std::string text =
      "# TQ410 firmware release 01.20 (synthetic), written by lormix_make_release.\n"
      "# See firmware/README.md for the format.\n"
      "get-info get_info.entry\n"
      "bridge   bridge.entry\n"
      "#    slot name      byte0 byte1 image\n";
  char line[128];
  for (int k = 0; k < 4; ++k) {
    if (k < static_cast<int>(std::size(kSlots))) {
      std::snprintf(line, sizeof line, "slot  %d    %-9s %02X    %02X    %s\n", k, kSlots[k].name,
                    kVersion[0], kVersion[1], kSlots[k].file);
    } else {
      std::snprintf(line, sizeof line, "slot  %d    -         -     -     -\n", k);
    }
    text += line;
  }
  return Bytes(text.begin(), text.end());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: lormix_make_release <output directory>\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) {
    std::fprintf(stderr, "lormix_make_release: cannot create %s\n", dir.string().c_str());
    return 1;
  }
  bool ok = true;
  for (const SlotRecipe& slot : kSlots) ok = WriteFile(dir / slot.file, MakeImage(slot)) && ok;
  ok = WriteFile(dir / "get_info.entry", MakeStoredEntry(tq410::kGetInfoKey, tq410::kGetInfo)) && ok;
  ok = WriteFile(dir / "bridge.entry", MakeStoredEntry(tq410::kBridgeKey, tq410::kBridge)) && ok;
  ok = WriteFile(dir / "manifest.txt", ManifestText()) && ok;
  return ok ? 0 : 1;
}
