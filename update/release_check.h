// Build-time check of a firmware release (firmware/README.md describes the
// files). The program trusts its compiled-in data at run time, so every
// invariant it relies on is checked here, before anything is compiled in.
// Host tooling only: it uses std containers and is not part of the update logic.
// Never crashes and never reads outside its input, whatever the input holds.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "update/update_data.h"

// Results of the checks: 0 for a sound release, otherwise the kind of fault.
enum ReleaseFault {
  kReleaseSound = 0,
  kManifestMalformed = 1,  // syntax, unknown or repeated keyword, bad slot index, name or file name
  kFileUnreadable = 2,     // a file the manifest names cannot be read
  kSlotIncomplete = 3,     // a slot has some of name, version bytes and image but not all
  kImageTooShort = 4,      // an image shorter than its 16-byte header
  kBadMarker = 5,          // marker other than 0x01 and 0xFE
  kNoEndEntry = 6,         // the entry stream reaches the end of the image without a type-0 entry
  kOutsideFile = 7,        // an entry header or frame reaches past the end of its file
  kTooManyEntries = 8,     // more than kMaxEntries entries before the end entry
  kBadFrameLead = 9,       // a frame that is sent is empty or does not begin with 0x35
  kTrailingBytes = 10,     // bytes after the end entry, or after a stored command entry
  kBadStoredEntry = 11,    // a stored command entry not of type 1, or with its high length bits set
};

constexpr uint8_t kFrameLead = 0x35;
constexpr uint32_t kMaxStoredFrame = 255;  // read from the entry's second byte alone

struct ReleaseSlot {
  bool filled = false;
  std::string name;
  uint8_t version[2] = {0, 0};  // byte 0, byte 1; shown as byte 1 "." byte 0
  std::string imageFile;
  std::vector<uint8_t> image;
};

struct Release {
  ReleaseSlot slots[kImageSlots];
  std::string getInfoFile;
  std::string bridgeFile;
  std::vector<uint8_t> getInfoEntry;
  std::vector<uint8_t> bridgeEntry;
};

// Reads the file a manifest names (a plain file name, no directories) into
// `bytes`; returns false when it cannot.
using ReleaseFileReader = std::function<bool(const std::string& name, std::vector<uint8_t>& bytes)>;

// Checks one UpdateImage. `file` only names it in the message. Returns a
// ReleaseFault; on a fault `message` reads "<file>: entry <i>, offset <o>: ..."
// (or "<file>: header, offset <o>: ..." for the header).
int CheckImage(std::string_view file, const uint8_t* bytes, size_t size, std::string& message);

// Checks a stored command entry file: one type-1 FrameEntry, frame at most 255
// bytes beginning with 0x35, nothing after it. Returns a ReleaseFault; message
// as for CheckImage, with entry index 0.
int CheckStoredEntry(std::string_view file, const uint8_t* bytes, size_t size, std::string& message);

// Parses a manifest into `release` (names, versions, file names; no file is
// read). Returns kReleaseSound, kManifestMalformed or kSlotIncomplete; on a
// fault `message` reads "<file>: line <n>: ...".
int ParseManifest(std::string_view file, std::string_view text, Release& release, std::string& message);

// The whole release: parses the manifest, reads every file it names through
// `read` and checks each. Returns kReleaseSound with `release` filled, or the
// first fault found with `message` naming the file, entry index and offset.
int CheckRelease(std::string_view manifestFile, std::string_view manifestText,
                 const ReleaseFileReader& read, Release& release, std::string& message);
