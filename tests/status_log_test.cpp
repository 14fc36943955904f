#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "link/host_services.h"
#include "tests/fixture.h"

namespace {

std::string Repeat(char c, size_t n) { return std::string(n, c); }

class StatusLogTest : public SimTest {
 protected:
  void Append(const std::string& s) { AppendStatusLine(s.c_str()); }
  void AppendNumbered(int from, int to) {
    for (int i = from; i <= to; ++i) Append("A" + std::to_string(i));
  }
  std::vector<std::string> Expect(std::initializer_list<const char*> head) {
    std::vector<std::string> out(head.begin(), head.end());
    out.resize(kStatusLines);
    return out;
  }
};

TEST_F(StatusLogTest, ReplaceAfterClearIsOverwrittenByNextAppend) {
  ReplaceStatusLine("X");
  EXPECT_EQ(StatusLines(), Expect({"X"}));
  EXPECT_EQ(statusLog.lineIndex, 0);
  Append("Y");
  EXPECT_EQ(StatusLines(), Expect({"Y"}));
  EXPECT_EQ(statusLog.lineIndex, 1);
}

TEST_F(StatusLogTest, NineAppendsFillEightSlotsThenTenthSetsFull) {
  AppendNumbered(1, 9);
  EXPECT_EQ(StatusLines(), Expect({"A1", "A2", "A3", "A4", "A5", "A6", "A7", "A8", "A9"}));
  EXPECT_EQ(statusLog.lineIndex, 9);
  EXPECT_EQ(statusLog.full, 0);
  ReplaceStatusLine("P");
  EXPECT_EQ(StatusLines()[9], "P");
  Append("A10");
  EXPECT_EQ(StatusLines()[9], "A10");
  EXPECT_EQ(statusLog.lineIndex, 9);
  EXPECT_EQ(statusLog.full, 1);
}

TEST_F(StatusLogTest, ElevenAppendsKeepTheTenNewest) {
  AppendNumbered(1, 11);
  EXPECT_EQ(StatusLines(), Expect({"A2", "A3", "A4", "A5", "A6", "A7", "A8", "A9", "A10", "A11"}));
}

TEST_F(StatusLogTest, ReplaceOnFullLogScrollsUpWithNextAppend) {
  AppendNumbered(1, 10);
  ReplaceStatusLine("P");
  EXPECT_EQ(StatusLines()[9], "P");
  Append("A11");
  EXPECT_EQ(StatusLines(), Expect({"A2", "A3", "A4", "A5", "A6", "A7", "A8", "A9", "P", "A11"}));
}

TEST_F(StatusLogTest, LengthLimitDropsWholeTextWithoutRepaint) {
  mainWindow = reinterpret_cast<void*>(0x1);
  struct Case {
    bool full;
    bool replace;
  };
  for (Case c : {Case{false, false}, Case{false, true}, Case{true, false}, Case{true, true}}) {
    ClearStatusLog();
    if (c.full) AppendNumbered(1, 10);
    const auto before = StatusLines();
    const int indexBefore = statusLog.lineIndex;
    const uint64_t repaints = sim::TheHost().repaintRequests;
    const std::string tooLong = Repeat('x', 260);
    if (c.replace)
      ReplaceStatusLine(tooLong.c_str());
    else
      AppendStatusLine(tooLong.c_str());
    EXPECT_EQ(StatusLines(), before) << "full=" << c.full << " replace=" << c.replace;
    EXPECT_EQ(statusLog.lineIndex, indexBefore);
    EXPECT_EQ(sim::TheHost().repaintRequests, repaints);

    const std::string longest = Repeat('y', 259);
    if (c.replace)
      ReplaceStatusLine(longest.c_str());
    else
      AppendStatusLine(longest.c_str());
    EXPECT_EQ(sim::TheHost().repaintRequests, repaints + 1);
    const auto after = StatusLines();
    EXPECT_EQ(after[c.full ? 9 : 0], longest);
    EXPECT_EQ(statusLog.lines[c.full ? 9 : 0][259], '\0');
  }
}

TEST_F(StatusLogTest, UnterminatedBufferIsNotReadPastTheLimit) {
  // A caller's buffer of exactly 260 characters with no terminator in reach.
  char buffer[260];
  std::memset(buffer, 'z', sizeof buffer);
  AppendStatusLine(buffer);
  EXPECT_EQ(statusLog.lineIndex, 0);
}

TEST_F(StatusLogTest, EmptyTextTakesASlot) {
  Append("A");
  Append("");
  Append("B");
  EXPECT_EQ(StatusLines(), Expect({"A", "", "B"}));
  EXPECT_EQ(statusLog.lineIndex, 3);
}

TEST_F(StatusLogTest, ClearEmptiesFullLog) {
  AppendNumbered(1, 12);
  ClearStatusLog();
  EXPECT_EQ(StatusLines(), Expect({}));
  EXPECT_EQ(statusLog.lineIndex, 0);
  EXPECT_EQ(statusLog.full, 0);
}

TEST_F(StatusLogTest, RepaintOnlyOnceWindowExists) {
  Append("before");
  ReplaceStatusLine("live");
  ClearStatusLog();
  EXPECT_EQ(sim::TheHost().repaintRequests, 0u);
  mainWindow = reinterpret_cast<void*>(0x1);
  Append("after");
  ReplaceStatusLine("live");
  ClearStatusLog();
  EXPECT_EQ(sim::TheHost().repaintRequests, 3u);
}

// The painter copies while the worker writes: every copied slot must be a text
// some writer stored whole. Run under ThreadSanitizer this also proves the
// pair race-free.
TEST_F(StatusLogTest, PainterNeverSeesATornLine) {
  std::atomic<bool> painting{false}, done{false};
  std::thread writer([&] {
    while (!painting) std::this_thread::yield();  // overlap with the painter for sure
    for (int i = 0; i < 20000; ++i) {
      const std::string text = Repeat(static_cast<char>('a' + i % 26), 1 + (i * 37) % 259);
      if (i % 3 == 0)
        ReplaceStatusLine(text.c_str());
      else
        AppendStatusLine(text.c_str());
      if (i % 1000 == 999) ClearStatusLog();
    }
    done = true;
  });
  std::string torn;
  do {
    for (const std::string& line : StatusLines())
      if (!line.empty() && line.find_first_not_of(line[0]) != std::string::npos) torn = line;
    painting = true;
  } while (!done);
  writer.join();
  EXPECT_EQ(torn, "");
}

}  // namespace
