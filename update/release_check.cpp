#include "update/release_check.h"

#include <cstdio>

namespace {

constexpr size_t kMaxNameLength = 63;   // keeps "%s ver. %02X.%02X" well inside 260 bytes
constexpr size_t kMaxFileNameLength = 100;
constexpr size_t kQuoteLimit = 40;

std::string Format(const char* format, auto... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

// A token from untrusted text made safe to print: non-printing bytes escaped,
// long tokens cut short.
std::string Quote(std::string_view token) {
  std::string out = "\"";
  for (size_t i = 0; i < token.size() && i < kQuoteLimit; ++i) {
    const unsigned char c = static_cast<unsigned char>(token[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += Format("\\x%02X", c);
    }
  }
  if (token.size() > kQuoteLimit) out += "...";
  return out + "\"";
}

int Fault(std::string& message, int fault, std::string_view file, std::string text) {
  message = std::string(file) + ": " + text;
  return fault;
}

int EntryFault(std::string& message, int fault, std::string_view file, int index, size_t offset,
               std::string text) {
  return Fault(message, fault, file, Format("entry %d, offset %zu: ", index, offset) + text);
}

int LineFault(std::string& message, int fault, std::string_view file, int line, std::string text) {
  return Fault(message, fault, file, Format("line %d: ", line) + text);
}

bool IsAbsent(std::string_view token) { return token == "-"; }

bool ValidName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  for (char c : name) {
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  return true;
}

// Plain file names only: the release is one directory and names nothing outside it.
bool ValidFileName(std::string_view name) {
  if (name.empty() || name.size() > kMaxFileNameLength || name[0] == '.') return false;
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Two hex digits, with or without 0x.
bool ParseByte(std::string_view token, uint8_t& value) {
  if (token.size() == 4 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) token.remove_prefix(2);
  if (token.size() != 2) return false;
  const int high = HexDigit(token[0]);
  const int low = HexDigit(token[1]);
  if (high < 0 || low < 0) return false;
  value = static_cast<uint8_t>(high << 4 | low);
  return true;
}

std::vector<std::string_view> Tokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) tokens.push_back(line.substr(start, i - start));
  }
  return tokens;
}

// What a manifest line says about one slot, before the all-or-none test.
struct SlotLine {
  int line = 0;  // 0: the slot has no line
  std::string_view fields[4];  // name, version byte 0, version byte 1, image
};

}  // namespace

int CheckImage(std::string_view file, const uint8_t* bytes, size_t size, std::string& message) {
  if (size < static_cast<size_t>(kImageHeaderSize)) {
    return Fault(message, kImageTooShort, file,
                 Format("header, offset %zu: the image ends inside its %d-byte header", size,
                        kImageHeaderSize));
  }
  const uint8_t marker = ImageMarker(bytes);
  if (marker != kMarkerValid && marker != kMarkerDisabled) {
    return Fault(message, kBadMarker, file,
                 Format("header, offset 0: marker 0x%02X is neither 0x01 (valid) nor 0xFE (disabled)",
                        marker));
  }
  size_t offset = kImageHeaderSize;
  for (int index = 0;; ++index) {
    if (offset >= size) {
      return EntryFault(message, kNoEndEntry, file, index, offset,
                        "the image ends without an end entry (type 0)");
    }
    const uint8_t* entry = bytes + offset;
    const int type = EntryType(entry);
    if (type == 0) {
      const size_t after = size - offset - 1;
      if (after != 0) {
        return EntryFault(message, kTrailingBytes, file, index, offset,
                          Format("%zu byte%s follow the end entry", after, after == 1 ? "" : "s"));
      }
      message.clear();
      return kReleaseSound;
    }
    if (index >= kMaxEntries) {
      return EntryFault(message, kTooManyEntries, file, index, offset,
                        Format("more than %d entries before the end entry", kMaxEntries));
    }
    if (size - offset < 2) {
      return EntryFault(message, kOutsideFile, file, index, offset,
                        "the entry header reaches outside the image");
    }
    if (!EntryHasFrame(entry)) {
      offset += 2;
      continue;
    }
    const uint32_t length = EntryLength(entry);
    const size_t left = size - offset - 2;
    if (length > left) {
      return EntryFault(message, kOutsideFile, file, index, offset,
                        Format("the frame of %u bytes (type %d) reaches outside the image, %zu bytes left",
                               length, type, left));
    }
    // Type 4 stops programming and its frame is never sent.
    if (type != 4 && (length == 0 || EntryFrame(entry)[0] != kFrameLead)) {
      return EntryFault(message, kBadFrameLead, file, index, offset,
                        length == 0 ? Format("the type-%d entry holds an empty frame", type)
                                    : Format("the frame begins with 0x%02X, not the command lead byte 0x35",
                                             EntryFrame(entry)[0]));
    }
    offset += 2 + length;
  }
}

int CheckStoredEntry(std::string_view file, const uint8_t* bytes, size_t size, std::string& message) {
  if (size < 2) {
    return EntryFault(message, kOutsideFile, file, 0, 0, "the entry header reaches outside the file");
  }
  const int type = EntryType(bytes);
  const uint32_t length = EntryLength(bytes);
  if (type != 1) {
    return EntryFault(message, kBadStoredEntry, file, 0, 0,
                      Format("a stored command entry must be of type 1, not %d", type));
  }
  if (length > kMaxStoredFrame) {
    return EntryFault(message, kBadStoredEntry, file, 0, 0,
                      Format("the frame length %u has its high bits set (header 0x%02X 0x%02X); a stored "
                             "command frame is at most 255 bytes",
                             length, bytes[0], bytes[1]));
  }
  if (length > size - 2) {
    return EntryFault(message, kOutsideFile, file, 0, 0,
                      Format("the frame of %u bytes reaches outside the file, %zu bytes left", length,
                             size - 2));
  }
  if (length == 0 || bytes[2] != kFrameLead) {
    return EntryFault(message, kBadFrameLead, file, 0, 0,
                      length == 0 ? std::string("the entry holds an empty frame")
                                  : Format("the frame begins with 0x%02X, not the command lead byte 0x35",
                                           bytes[2]));
  }
  if (size - 2 > length) {
    return EntryFault(message, kTrailingBytes, file, 0, 0,
                      Format("%zu byte%s follow the entry", size - 2 - length, size - 2 - length == 1 ? "" : "s"));
  }
  message.clear();
  return kReleaseSound;
}

int ParseManifest(std::string_view file, std::string_view text, Release& release, std::string& message) {
  release = Release{};
  SlotLine slots[kImageSlots];
  int getInfoLine = 0;
  int bridgeLine = 0;
  int lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    for (char c : line) {
      const unsigned char u = static_cast<unsigned char>(c);
      if ((u < 0x20 && c != '\t') || u >= 0x7F) {
        return LineFault(message, kManifestMalformed, file, lineNumber,
                         Format("byte 0x%02X: the manifest is plain ASCII text", u));
      }
    }
    const std::vector<std::string_view> tokens = Tokens(line);
    if (tokens.empty() || tokens[0][0] == '#') continue;
    const std::string_view keyword = tokens[0];

    if (keyword == "get-info" || keyword == "bridge") {
      const bool getInfo = keyword == "get-info";
      int& seen = getInfo ? getInfoLine : bridgeLine;
      if (tokens.size() != 2) {
        return LineFault(message, kManifestMalformed, file, lineNumber,
                         Format("%s takes one file name", getInfo ? "get-info" : "bridge"));
      }
      if (seen != 0) {
        return LineFault(message, kManifestMalformed, file, lineNumber,
                         Format("%s is given again (first on line %d)", getInfo ? "get-info" : "bridge",
                                seen));
      }
      if (!ValidFileName(tokens[1])) {
        return LineFault(message, kManifestMalformed, file, lineNumber,
                         "bad file name " + Quote(tokens[1]) +
                             ": letters, digits, '.', '_' and '-' only, not starting with '.'");
      }
      seen = lineNumber;
      (getInfo ? release.getInfoFile : release.bridgeFile) = std::string(tokens[1]);
      continue;
    }

    if (keyword == "slot") {
      if (tokens.size() != 6) {
        return LineFault(message, kManifestMalformed, file, lineNumber,
                         "a slot line is: slot <index> <name> <version byte 0> <version byte 1> <image>, "
                         "'-' for each value of an empty slot");
      }
      const std::string_view index = tokens[1];
      if (index.size() != 1 || index[0] < '0' || index[0] >= '0' + kImageSlots) {
        return LineFault(message, kManifestMalformed, file, lineNumber,
                         "slot index " + Quote(index) + Format(" is not 0 to %d", kImageSlots - 1));
      }
      SlotLine& slot = slots[index[0] - '0'];
      if (slot.line != 0) {
        return LineFault(message, kManifestMalformed, file, lineNumber,
                         Format("slot %c is given again (first on line %d)", index[0], slot.line));
      }
      slot.line = lineNumber;
      for (int f = 0; f < 4; ++f) slot.fields[f] = tokens[2 + f];
      const std::string_view name = slot.fields[0];
      if (!IsAbsent(name) && !ValidName(name)) {
        return LineFault(message, kManifestMalformed, file, lineNumber,
                         "bad name " + Quote(name) +
                             Format(": printable ASCII without spaces, at most %zu characters",
                                    kMaxNameLength));
      }
      for (int f = 1; f <= 2; ++f) {
        uint8_t value = 0;
        if (!IsAbsent(slot.fields[f]) && !ParseByte(slot.fields[f], value)) {
          return LineFault(message, kManifestMalformed, file, lineNumber,
                           Format("version byte %d ", f - 1) + Quote(slot.fields[f]) +
                               " is not two hexadecimal digits");
        }
      }
      if (!IsAbsent(slot.fields[3]) && !ValidFileName(slot.fields[3])) {
        return LineFault(message, kManifestMalformed, file, lineNumber,
                         "bad file name " + Quote(slot.fields[3]) +
                             ": letters, digits, '.', '_' and '-' only, not starting with '.'");
      }
      continue;
    }

    return LineFault(message, kManifestMalformed, file, lineNumber,
                     "unknown keyword " + Quote(keyword) + " (get-info, bridge, slot or # comment)");
  }

  if (getInfoLine == 0 || bridgeLine == 0) {
    return LineFault(message, kManifestMalformed, file, lineNumber,
                     Format("the manifest names no %s entry file", getInfoLine == 0 ? "get-info" : "bridge"));
  }
  for (int k = 0; k < kImageSlots; ++k) {
    const SlotLine& line = slots[k];
    if (line.line == 0) continue;  // a slot without a line is empty
    int present = 0;
    for (const std::string_view field : line.fields) present += IsAbsent(field) ? 0 : 1;
    if (present == 0) continue;
    if (present != 4) {
      return LineFault(
          message, kSlotIncomplete, file, line.line,
          Format("slot %d is filled in only some of its tables: ", k) +
              "name " + (IsAbsent(line.fields[0]) ? "missing" : "given") + ", version " +
              (IsAbsent(line.fields[1]) || IsAbsent(line.fields[2]) ? "missing" : "given") + ", image " +
              (IsAbsent(line.fields[3]) ? "missing" : "given") + "; give all of them or '-' for each");
    }
    ReleaseSlot& slot = release.slots[k];
    slot.filled = true;
    slot.name = std::string(line.fields[0]);
    ParseByte(line.fields[1], slot.version[0]);
    ParseByte(line.fields[2], slot.version[1]);
    slot.imageFile = std::string(line.fields[3]);
  }
  message.clear();
  return kReleaseSound;
}

int CheckRelease(std::string_view manifestFile, std::string_view manifestText,
                 const ReleaseFileReader& read, Release& release, std::string& message) {
  int result = ParseManifest(manifestFile, manifestText, release, message);
  if (result != kReleaseSound) return result;

  auto load = [&](const std::string& name, std::vector<uint8_t>& bytes) -> int {
    if (read && read(name, bytes)) return kReleaseSound;
    bytes.clear();
    return Fault(message, kFileUnreadable, name,
                 "cannot be read (named in " + std::string(manifestFile) + ")");
  };
  const struct {
    const std::string& name;
    std::vector<uint8_t>& bytes;
  } stored[] = {{release.getInfoFile, release.getInfoEntry}, {release.bridgeFile, release.bridgeEntry}};
  for (const auto& entry : stored) {
    if ((result = load(entry.name, entry.bytes)) != kReleaseSound) return result;
    result = CheckStoredEntry(entry.name, entry.bytes.data(), entry.bytes.size(), message);
    if (result != kReleaseSound) return result;
  }
  for (ReleaseSlot& slot : release.slots) {
    if (!slot.filled) continue;
    if ((result = load(slot.imageFile, slot.image)) != kReleaseSound) return result;
    result = CheckImage(slot.imageFile, slot.image.data(), slot.image.size(), message);
    if (result != kReleaseSound) return result;
  }
  return kReleaseSound;
}
