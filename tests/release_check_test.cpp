// The build-time release check: one small broken release per kind of fault,
// each refused with a message that names the file, the entry and the offset;
// and the packer, which builds nothing from a refused release.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "update/release_check.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A frame of `length` bytes beginning with the command lead byte.
Bytes Frame(size_t length, uint8_t lead = 0x35) {
  Bytes frame(length, 0x5A);
  if (length > 0) frame[0] = lead;
  return frame;
}

Bytes Entry(int type, const Bytes& frame = {}) {
  Bytes entry = {static_cast<uint8_t>(((frame.size() >> 8) & 0x0F) << 4 | type),
                 static_cast<uint8_t>(frame.size() & 0xFF)};
  entry.insert(entry.end(), frame.begin(), frame.end());
  return entry;
}

Bytes Image(const std::vector<Bytes>& entries, uint8_t marker = 0x01, bool endEntry = true) {
  Bytes image = {marker, 0, 0, 0, 0, 0, 0x21, 0x0A, 0x35, 0x02, 0x3F, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
  for (const Bytes& entry : entries) image.insert(image.end(), entry.begin(), entry.end());
  if (endEntry) image.push_back(0x00);
  return image;
}

// Entries at 16, 24, 26 and 33; the end entry at 39; 40 bytes in all.
const std::vector<Bytes> kSoundEntries = {Entry(1, Frame(6)), Entry(6), Entry(2, Frame(5)), Entry(3, Frame(4))};

std::vector<Bytes> ManyNoOps(int count) { return std::vector<Bytes>(count, Entry(6)); }

// A release held in memory: the manifest text and the files it may name.
struct MemoryRelease {
  std::string manifest =
      "get-info get.entry\n"
      "bridge br.entry\n"
      "slot 0 TQ_A 20 01 a.img\n";
  std::map<std::string, Bytes> files = {
      {"get.entry", Entry(1, Frame(40))},
      {"br.entry", Entry(1, Frame(40))},
      {"a.img", Image(kSoundEntries)},
      {"b.img", Image(kSoundEntries)},
  };
  Release release;
  std::string message;

  int Check() {
    const ReleaseFileReader reader = [this](const std::string& name, Bytes& bytes) {
      const auto found = files.find(name);
      if (found == files.end()) return false;
      bytes = found->second;
      return true;
    };
    return CheckRelease("manifest.txt", manifest, reader, release, message);
  }
};

TEST(ReleaseCheck, SoundReleasesPass) {
  const struct {
    const char* what;
    std::string manifest;
    bool filled[kImageSlots];
  } cases[] = {
      {"one slot", MemoryRelease().manifest, {true, false, false, false}},
      {"empty slot between filled slots",
       "get-info get.entry\nbridge br.entry\n"
       "slot 0 TQ_A 20 01 a.img\nslot 1 - - - -\nslot 2 TQ_B 0x21 0x01 b.img\n",
       {true, false, true, false}},
      {"slots out of order, comments, tabs and CRLF",
       "# release\r\n\r\nslot\t3  TQ_B 21 01 b.img\r\n  # note\r\nbridge br.entry\r\nget-info get.entry\r\n"
       "slot 1 TQ_A 20 01 a.img",
       {false, true, false, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryRelease r;
    r.manifest = c.manifest;
    ASSERT_EQ(r.Check(), kReleaseSound) << r.message;
    for (int k = 0; k < kImageSlots; ++k) {
      EXPECT_EQ(r.release.slots[k].filled, c.filled[k]) << "slot " << k;
      if (!c.filled[k]) continue;
      EXPECT_EQ(r.release.slots[k].image, r.files[r.release.slots[k].imageFile]);
    }
    EXPECT_EQ(r.release.getInfoEntry, r.files["get.entry"]);
    EXPECT_EQ(r.release.bridgeEntry, r.files["br.entry"]);
  }

  MemoryRelease r;
  r.manifest = cases[1].manifest;
  ASSERT_EQ(r.Check(), kReleaseSound);
  EXPECT_EQ(r.release.slots[2].name, "TQ_B");
  EXPECT_EQ(r.release.slots[2].version[0], 0x21);
  EXPECT_EQ(r.release.slots[2].version[1], 0x01);
  EXPECT_EQ(r.release.slots[2].imageFile, "b.img");
}

TEST(ReleaseCheck, ImagesThatHoldTheInvariantsPass) {
  const struct {
    const char* what;
    Bytes image;
  } cases[] = {
      {"disabled marker 0xFE", Image(kSoundEntries, 0xFE)},
      {"only the end entry", Image({})},
      {"end entry with high bits set", Image({Entry(1, Frame(3)), {0xA0}}, 0x01, false)},
      {"exactly 4100 entries", Image(ManyNoOps(4100))},
      {"no-op types with length bits", Image({{0x37, 0xFF}, {0x0F, 0x01}})},
      {"stop entry whose frame is never sent", Image({Entry(4, Frame(3, 0x00)), Entry(4)})},
      {"type 5 frame", Image({Entry(5, Frame(4095))})},
  };
  for (const auto& c : cases) {
    std::string message;
    EXPECT_EQ(CheckImage("a.img", c.image.data(), c.image.size(), message), kReleaseSound)
        << c.what << ": " << message;
  }
}

TEST(ReleaseCheck, ImageFaultsAreRefusedWithFileEntryAndOffset) {
  Bytes noEnd = Image(kSoundEntries, 0x01, false);
  Bytes longLast = Image(kSoundEntries);
  longLast[34] = 7;  // entry 3 at 33 claims 7 frame bytes; 5 are left
  Bytes halfHeader = Image(kSoundEntries, 0x01, false);
  halfHeader.push_back(0x21);  // type 1 with no second header byte
  Bytes trailing = Image(kSoundEntries);
  trailing.push_back(0x00);
  Bytes badLead = Image(kSoundEntries);
  badLead[28] = 0x53;  // first byte of entry 2's frame

  const struct {
    const char* what;
    Bytes image;
    int fault;
    const char* message;
  } cases[] = {
      {"no end entry", noEnd, kNoEndEntry,
       "a.img: entry 4, offset 39: the image ends without an end entry (type 0)"},
      {"frame reaching outside", longLast, kOutsideFile,
       "a.img: entry 3, offset 33: the frame of 7 bytes (type 3) reaches outside the image, 5 bytes left"},
      {"entry header reaching outside", halfHeader, kOutsideFile,
       "a.img: entry 4, offset 39: the entry header reaches outside the image"},
      {"more than 4100 entries", Image(ManyNoOps(4101)), kTooManyEntries,
       "a.img: entry 4100, offset 8216: more than 4100 entries before the end entry"},
      {"bad marker", Image(kSoundEntries, 0x02), kBadMarker,
       "a.img: header, offset 0: marker 0x02 is neither 0x01 (valid) nor 0xFE (disabled)"},
      {"shorter than the header", Bytes(9, 0x01), kImageTooShort,
       "a.img: header, offset 9: the image ends inside its 16-byte header"},
      {"bytes after the end entry", trailing, kTrailingBytes,
       "a.img: entry 4, offset 39: 1 byte follow the end entry"},
      {"frame without the lead byte", badLead, kBadFrameLead,
       "a.img: entry 2, offset 26: the frame begins with 0x53, not the command lead byte 0x35"},
      {"empty frame", Image({Entry(1, Frame(3)), Entry(1)}), kBadFrameLead,
       "a.img: entry 1, offset 21: the type-1 entry holds an empty frame"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryRelease r;
    r.files["a.img"] = c.image;
    EXPECT_EQ(r.Check(), c.fault);
    EXPECT_EQ(r.message, c.message);
  }
}

TEST(ReleaseCheck, EveryTruncatedImageIsRefused) {
  const Bytes image = Image({Entry(1, Frame(300)), Entry(7), Entry(3, Frame(20))});
  for (size_t size = 0; size < image.size(); ++size) {
    std::string message;
    EXPECT_NE(CheckImage("a.img", image.data(), size, message), kReleaseSound) << "size " << size;
    EXPECT_EQ(message.rfind("a.img: ", 0), 0u) << message;
  }
}

TEST(ReleaseCheck, StoredEntryFaultsAreRefused) {
  Bytes long256 = Entry(1, Frame(256));
  Bytes trailing = Entry(1, Frame(40));
  trailing.push_back(0x00);
  trailing.push_back(0x00);
  const struct {
    const char* what;
    const char* file;
    Bytes entry;
    int fault;
    const char* message;
  } cases[] = {
      {"frame over 255 bytes", "get.entry", long256, kBadStoredEntry,
       "get.entry: entry 0, offset 0: the frame length 256 has its high bits set (header 0x11 0x00); a "
       "stored command frame is at most 255 bytes"},
      {"high length bits", "br.entry", {0x21, 0x03, 0x35, 0x22, 0x02}, kBadStoredEntry,
       "br.entry: entry 0, offset 0: the frame length 515 has its high bits set (header 0x21 0x03); a "
       "stored command frame is at most 255 bytes"},
      {"not type 1", "br.entry", Entry(2, Frame(40)), kBadStoredEntry,
       "br.entry: entry 0, offset 0: a stored command entry must be of type 1, not 2"},
      {"frame without the lead byte", "get.entry", Entry(1, Frame(40, 0xAD)), kBadFrameLead,
       "get.entry: entry 0, offset 0: the frame begins with 0xAD, not the command lead byte 0x35"},
      {"empty frame", "get.entry", Entry(1), kBadFrameLead,
       "get.entry: entry 0, offset 0: the entry holds an empty frame"},
      {"frame reaching outside", "get.entry", {0x01, 0x28, 0x35, 0x21}, kOutsideFile,
       "get.entry: entry 0, offset 0: the frame of 40 bytes reaches outside the file, 2 bytes left"},
      {"empty file", "br.entry", {}, kOutsideFile,
       "br.entry: entry 0, offset 0: the entry header reaches outside the file"},
      {"bytes after the entry", "get.entry", trailing, kTrailingBytes,
       "get.entry: entry 0, offset 0: 2 bytes follow the entry"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryRelease r;
    r.files[c.file] = c.entry;
    EXPECT_EQ(r.Check(), c.fault);
    EXPECT_EQ(r.message, c.message);
  }
}

TEST(ReleaseCheck, ManifestFaultsAreRefusedWithTheLine) {
  const std::string stored = "get-info get.entry\nbridge br.entry\n";
  const struct {
    const char* what;
    std::string manifest;
    int fault;
    const char* message;
  } cases[] = {
      {"name without image", stored + "slot 1 TQ_A 20 01 -\n", kSlotIncomplete,
       "manifest.txt: line 3: slot 1 is filled in only some of its tables: name given, version given, "
       "image missing; give all of them or '-' for each"},
      {"image without name or version", stored + "slot 0 - - - a.img\n", kSlotIncomplete,
       "manifest.txt: line 3: slot 0 is filled in only some of its tables: name missing, version missing, "
       "image given; give all of them or '-' for each"},
      {"one version byte", stored + "slot 2 TQ_A 20 - a.img\n", kSlotIncomplete,
       "manifest.txt: line 3: slot 2 is filled in only some of its tables: name given, version missing, "
       "image given; give all of them or '-' for each"},
      {"slot index out of range", stored + "slot 4 TQ_A 20 01 a.img\n", kManifestMalformed,
       "manifest.txt: line 3: slot index \"4\" is not 0 to 3"},
      {"slot given twice", stored + "slot 0 TQ_A 20 01 a.img\nslot 0 - - - -\n", kManifestMalformed,
       "manifest.txt: line 4: slot 0 is given again (first on line 3)"},
      {"short slot line", stored + "slot 0 TQ_A 20 01\n", kManifestMalformed,
       "manifest.txt: line 3: a slot line is: slot <index> <name> <version byte 0> <version byte 1> "
       "<image>, '-' for each value of an empty slot"},
      {"bad version byte", stored + "slot 0 TQ_A 2 01 a.img\n", kManifestMalformed,
       "manifest.txt: line 3: version byte 0 \"2\" is not two hexadecimal digits"},
      {"file outside the release", stored + "slot 0 TQ_A 20 01 ../a.img\n", kManifestMalformed,
       "manifest.txt: line 3: bad file name \"../a.img\": letters, digits, '.', '_' and '-' only, not "
       "starting with '.'"},
      {"name too long", stored + "slot 0 " + std::string(64, 'N') + " 20 01 a.img\n", kManifestMalformed,
       "manifest.txt: line 3: bad name \"NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN...\": printable ASCII "
       "without spaces, at most 63 characters"},
      {"unknown keyword", stored + "image 0 a.img\n", kManifestMalformed,
       "manifest.txt: line 3: unknown keyword \"image\" (get-info, bridge, slot or # comment)"},
      {"get-info twice", stored + "get-info br.entry\n", kManifestMalformed,
       "manifest.txt: line 3: get-info is given again (first on line 1)"},
      {"no bridge", "get-info get.entry\nslot 0 TQ_A 20 01 a.img\n", kManifestMalformed,
       "manifest.txt: line 2: the manifest names no bridge entry file"},
      {"control byte", stored + std::string("slot 0 TQ_A\0 20 01 a.img\n", 25), kManifestMalformed,
       "manifest.txt: line 3: byte 0x00: the manifest is plain ASCII text"},
      {"missing file", stored + "slot 0 TQ_A 20 01 c.img\n", kFileUnreadable,
       "c.img: cannot be read (named in manifest.txt)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryRelease r;
    r.manifest = c.manifest;
    EXPECT_EQ(r.Check(), c.fault);
    EXPECT_EQ(r.message, c.message);
  }
}

// The packer on real files: a sound release becomes source, a refused one
// leaves nothing behind, not even the output of an earlier run.
class PackRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    // One folder per test and process: ctest runs tests side by side.
    dir = fs::path(::testing::TempDir()) /
          ("lormix_pack_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
           "_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    MemoryRelease r;
    r.files["c.img"] = Image(kSoundEntries);
    for (const auto& [name, bytes] : r.files) Write(name, std::string(bytes.begin(), bytes.end()));
    Write("manifest.txt",
          "get-info get.entry\nbridge br.entry\nslot 0 TQ_A 20 01 a.img\nslot 1 - - - -\n"
          "slot 2 TQ\"?\\ 21 01 c.img\n");
  }
  void TearDown() override { fs::remove_all(dir); }

  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
  }
  std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Runs the packer; returns its exit status and fills `output` with what it printed.
  int Pack(std::string& output) {
    const std::string command = std::string("\"") + LORMIX_PACK_RELEASE + "\" \"" +
                                (dir / "manifest.txt").string() + "\" \"" + (dir / "out.cpp").string() +
                                "\" \"" + (dir / "out.d").string() + "\" 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[512];
    output.clear();
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    return pclose(pipe);
  }
  fs::path dir;
};

TEST_F(PackRelease, WritesTheDataSetWithEmptySlotsAsNull) {
  std::string output;
  ASSERT_EQ(Pack(output), 0) << output;
  const std::string source = Read(dir / "out.cpp");
  EXPECT_NE(source.find("const UpdateDataSet carriedDataSet = {\n"
                        "    {image0, nullptr, image2, nullptr},\n"
                        "    {name0, nullptr, name2, nullptr},\n"
                        "    {version0, nullptr, version2, nullptr},\n"
                        "    getInfo,\n    bridge,\n};"),
            std::string::npos)
      << source;
  EXPECT_NE(source.find("const uint8_t image0[40] = {\n    0x01, 0x00,"), std::string::npos);
  EXPECT_NE(source.find("const char name2[] = \"TQ\\042\\077\\134\";"), std::string::npos);
  EXPECT_NE(source.find("const uint8_t version2[2] = {0x21, 0x01};"), std::string::npos);
  const std::string deps = Read(dir / "out.d");
  for (const char* file : {"manifest.txt", "get.entry", "br.entry", "a.img", "c.img"}) {
    EXPECT_NE(deps.find((dir / file).string()), std::string::npos) << file << " missing from\n" << deps;
  }
}

TEST_F(PackRelease, RefusedReleaseBuildsNothing) {
  std::string output;
  ASSERT_EQ(Pack(output), 0) << output;
  ASSERT_TRUE(fs::exists(dir / "out.cpp"));

  Bytes image = Image(kSoundEntries, 0x01, false);
  Write("c.img", std::string(image.begin(), image.end()));
  EXPECT_NE(Pack(output), 0);
  EXPECT_NE(output.find("c.img: entry 4, offset 39: the image ends without an end entry"), std::string::npos)
      << output;
  EXPECT_FALSE(fs::exists(dir / "out.cpp"));
}

}  // namespace
