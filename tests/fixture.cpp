#include "tests/fixture.h"

std::vector<std::string> StatusLines() {
  char copy[kStatusLines][kStatusSlotSize];
  CopyStatusLines(copy);
  std::vector<std::string> out;
  for (auto& line : copy) out.emplace_back(line);
  return out;
}
