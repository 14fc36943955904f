// Runs a fuzz target over saved inputs, without libFuzzer: each argument is a
// file or a directory of files. Lets every build (GCC included) replay the
// seed corpus and any crash reproducer as a plain regression test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool RunFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

int main(int argc, char** argv) {
  int runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& item : std::filesystem::directory_iterator(path)) {
        if (!item.is_regular_file()) continue;
        if (!RunFile(item.path())) return 1;
        ++runs;
      }
    } else {
      if (!RunFile(path)) return 1;
      ++runs;
    }
  }
  std::printf("%d inputs replayed\n", runs);
  return runs > 0 ? 0 : 1;
}
