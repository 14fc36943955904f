// The update data set: the firmware images the program carries, their names and
// versions, and the two stored command entries. Constant data generated at
// build time from the release files in firmware/.
#pragma once
#include <cstdint>

constexpr int kImageSlots = 4;
constexpr int kMaxEntries = 4100;  // walks stop here even without an end entry
constexpr int kImageHeaderSize = 16;

constexpr uint8_t kMarkerValid = 0x01;
constexpr uint8_t kMarkerDisabled = 0xFE;
constexpr uint16_t kAnyLevel = 0xFEED;  // imageS that fits a device at any level

// Three parallel tables of four slots; a slot is filled in all three or none.
struct UpdateDataSet {
  const uint8_t* imageTable[kImageSlots];    // UpdateImage: 16-byte header, entry stream
  const char* nameTable[kImageSlots];        // display name
  const uint8_t* versionTable[kImageSlots];  // two version bytes, shown as [1].[0]
  const uint8_t* getInfoEntry;               // FrameEntry of the get-info command
  const uint8_t* bridgeEntry;                // FrameEntry of the bridge command
};

// The release compiled into this program.
extern const UpdateDataSet carriedDataSet;

// The data set the logic reads: the carried one; tests point it at their own.
extern const UpdateDataSet* updateDataSet;

// UpdateImage header fields (16-bit values little-endian).
inline uint8_t ImageMarker(const uint8_t* image) { return image[0]; }
inline uint16_t ImageH(const uint8_t* image) { return static_cast<uint16_t>(image[6] | image[7] << 8); }
inline uint16_t ImageB(const uint8_t* image) { return static_cast<uint16_t>(image[8] | image[9] << 8); }
inline uint16_t ImageS(const uint8_t* image) { return static_cast<uint16_t>(image[10] | image[11] << 8); }
inline const uint8_t* FirstEntry(const uint8_t* image) { return image + kImageHeaderSize; }

// FrameEntry: type in the low four bits of byte 0, 12-bit length in its high
// four bits and byte 1, then the frame for types 1 to 5.
inline int EntryType(const uint8_t* entry) { return entry[0] & 0x0F; }
inline uint32_t EntryLength(const uint8_t* entry) { return static_cast<uint32_t>((entry[0] >> 4) << 8 | entry[1]); }
inline const uint8_t* EntryFrame(const uint8_t* entry) { return entry + 2; }
inline bool EntryHasFrame(const uint8_t* entry) { return EntryType(entry) >= 1 && EntryType(entry) <= 5; }
// Types 6 to 15 are two bytes whatever their length bits hold. Not for type 0.
inline const uint8_t* NextEntry(const uint8_t* entry) {
  return EntryHasFrame(entry) ? entry + 2 + EntryLength(entry) : entry + 2;
}

// The entries of an image before its end entry, counted the way the walks
// step; at most kMaxEntries, where the walks stop even without an end entry.
inline int ImageEntryCount(const uint8_t* image) {
  const uint8_t* entry = FirstEntry(image);
  int count = 0;
  while (count < kMaxEntries && EntryType(entry) != 0) {
    entry = NextEntry(entry);
    ++count;
  }
  return count;
}
