// Fuzz target: the build-time release check fed arbitrary releases.
//
// The program trusts its compiled-in data, so the check is the only guard
// between a bad release file and a walk that runs off an image. The target
// decides independently, with a walker of its own written from the file
// formats, whether each input is sound, and requires the check to agree both
// ways. An image the check passes is then walked with the update logic's own
// entry helpers in a buffer of exactly its size, so a walk that would leave it
// trips AddressSanitizer.
//
// Input: byte 0 selects the mode; the rest is
//   0: one image file;  1: one stored command entry file;
//   2: a manifest and its files, parts split by the line "%%", the manifest
//      first. A file name "f<k>" reads part k; any other name reads a part
//      chosen by its characters, or nothing for an odd sum.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "update/release_check.h"
#include "update/update_data.h"

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "release check invariant broken: %s: %s\n", what, detail.c_str());
  std::abort();
}

// The image format, walked from scratch: header, marker, then entries up to an
// end entry that is the last byte, at most 4100 of them, every frame inside
// the file, every frame that is sent non-empty and led by 0x35.
bool ImageSound(const uint8_t* b, size_t size) {
  if (size < 16 || (b[0] != 0x01 && b[0] != 0xFE)) return false;
  size_t at = 16;
  for (int count = 0;; ++count) {
    if (at >= size) return false;
    const int type = b[at] & 0x0F;
    if (type == 0) return at == size - 1;
    if (count >= 4100 || size - at < 2) return false;
    if (type > 5) {
      at += 2;
      continue;
    }
    const size_t length = static_cast<size_t>(b[at] >> 4) << 8 | b[at + 1];
    if (length > size - at - 2) return false;
    if (type != 4 && (length == 0 || b[at + 2] != 0x35)) return false;
    at += 2 + length;
  }
}

bool StoredEntrySound(const uint8_t* b, size_t size) {
  return size >= 3 && b[0] == 0x01 && b[1] == size - 2 && b[2] == 0x35;
}

// The update logic's walks over an image the check has passed: the counting
// walk and the writing walk's stepping, reading every byte it would send.
void WalkAsTheProgramDoes(const Bytes& image) {
  // Exactly sized, so ASan sees any step past the end.
  uint8_t* copy = static_cast<uint8_t*>(std::malloc(image.size()));
  std::memcpy(copy, image.data(), image.size());
  (void)ImageMarker(copy), (void)ImageH(copy), (void)ImageB(copy), (void)ImageS(copy);
  const int count = ImageEntryCount(copy);
  const uint8_t* entry = FirstEntry(copy);
  unsigned sum = 0;
  for (int index = 0; index < kMaxEntries && EntryType(entry) != 0; ++index) {
    if (EntryHasFrame(entry)) {
      const uint8_t* frame = EntryFrame(entry);
      for (uint32_t i = 0; i < EntryLength(entry); ++i) sum += frame[i];
    }
    entry = NextEntry(entry);
  }
  if (count < 0 || count > kMaxEntries) Fail("entry count out of range", std::to_string(count));
  std::free(copy);
  (void)sum;
}

std::vector<std::string_view> SplitParts(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t mark = text.find("\n%%\n", start);
    if (mark == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, mark - start));
    start = mark + 4;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0] % 3;
  // Exactly sized copies, so an over-read of the input is caught.
  const Bytes rest(data + 1, data + size);
  std::string message;

  if (mode == 0) {
    const int result = CheckImage("fuzz.img", rest.data(), rest.size(), message);
    if ((result == kReleaseSound) != ImageSound(rest.data(), rest.size()))
      Fail("image verdict differs from the format", std::to_string(result) + " " + message);
    if (result != kReleaseSound && message.empty()) Fail("fault without a message", std::to_string(result));
    if (result == kReleaseSound) WalkAsTheProgramDoes(rest);
    return 0;
  }

  if (mode == 1) {
    const int result = CheckStoredEntry("fuzz.entry", rest.data(), rest.size(), message);
    if ((result == kReleaseSound) != StoredEntrySound(rest.data(), rest.size()))
      Fail("stored entry verdict differs from the format", std::to_string(result) + " " + message);
    if (result != kReleaseSound && message.empty()) Fail("fault without a message", std::to_string(result));
    return 0;
  }

  const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
  const std::vector<std::string_view> parts = SplitParts(text);
  std::vector<std::string> asked;
  auto reader = [&](const std::string& name, Bytes& bytes) {
    asked.push_back(name);
    size_t part = 0;
    if (name.size() == 2 && name[0] == 'f' && name[1] >= '1' && name[1] <= '9') {
      part = static_cast<size_t>(name[1] - '0');
    } else {
      unsigned sum = 0;
      for (char c : name) sum += static_cast<unsigned char>(c);
      if (sum % 2 == 1) return false;
      part = 1 + sum % 7;
    }
    if (part >= parts.size()) return false;
    bytes.assign(parts[part].begin(), parts[part].end());
    return true;
  };
  Release release;
  const int result = CheckRelease("manifest.txt", parts[0], reader, release, message);
  if (result < kReleaseSound || result > kBadStoredEntry) Fail("result out of range", std::to_string(result));
  if (result != kReleaseSound) {
    if (message.empty()) Fail("fault without a message", std::to_string(result));
    return 0;
  }
  // A sound release: every file it carries must be sound by the format, and
  // the names must be safe to format into a 260-byte status line.
  for (const std::string& name : asked)
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos || name.find('\\') != std::string::npos)
      Fail("a release file name leaves the release directory", name);
  if (!StoredEntrySound(release.getInfoEntry.data(), release.getInfoEntry.size()))
    Fail("unsound get-info entry passed", release.getInfoFile);
  if (!StoredEntrySound(release.bridgeEntry.data(), release.bridgeEntry.size()))
    Fail("unsound bridge entry passed", release.bridgeFile);
  for (const ReleaseSlot& slot : release.slots) {
    if (!slot.filled) continue;
    if (slot.name.empty() || slot.name.size() + 16 > 259) Fail("name unfit for the version line", slot.name);
    for (char c : slot.name)
      if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
        Fail("non-printing name passed", slot.name);
    if (!ImageSound(slot.image.data(), slot.image.size())) Fail("unsound image passed", slot.imageFile);
    WalkAsTheProgramDoes(slot.image);
  }
  return 0;
}
