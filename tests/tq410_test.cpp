// The simulated TQ410 driven directly through the World: bytes written with the
// chip's own operations, what the device sends taken from the line's trace and
// decoded here, independently of the device's encoder.
#include <optional>

#include "sim/tq410.h"
#include "tests/fixture.h"
#include "tests/test_release.h"

namespace {

using sim::Direction;
using sim::kMs;
using sim::Nanos;
using sim::Tq410;
using sim::Tq410Outcome;
using test_release::BlockData;
using test_release::CommitFrame;
using test_release::GetInfoFrame;
using test_release::WriteFrame;

// A reply as it arrived at the chip, checked and descrambled by the test.
struct SeenReply {
  Nanos firstByte, lastByte;
  uint8_t key;
  std::vector<uint8_t> payload;
  bool crcGood;
  uint8_t Code() const { return payload.size() >= 2 && payload[0] == 'R' ? payload[1] : 0; }
};

uint16_t ReferenceCrc(const std::vector<uint8_t>& bytes) {
  // Bitwise form of the reflected CCITT CRC (0x8408), initial 0x7777.
  uint16_t crc = 0x7777;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
  }
  return crc;
}

class Tq410Test : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    device.Attach(*world);
    ASSERT_EQ(world->OpenByDescription("FT232R USB UART", 2, &handle), 0u);
    world->SetBaudRate(handle, 38400);
    world->SetLatencyTimer(handle, 4);
    world->echo = false;  // only what the device sends comes back
    world->trace = [this](Nanos t, Direction d, uint8_t b) {
      (d == Direction::kToHost ? fromDevice : toDevice).push_back({t, b});
    };
  }

  // The bytes go on the line now; returns when the adapter has taken them.
  void Send(const std::vector<uint8_t>& bytes) {
    uint32_t written = 0;
    ASSERT_EQ(world->Write(handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &written), 0u);
  }
  void SendAt(double ms, const std::vector<uint8_t>& bytes) {
    RunUntil(ms);
    Send(bytes);
  }
  void RunUntil(double ms) {
    world->clock->WaitUntil(static_cast<Nanos>(ms * kMs));
    world->Advance();
  }
  void RunFor(double ms) { RunUntil(NowMs() + ms); }
  // When the last byte written so far reached the device.
  Nanos LastArrival() const { return toDevice.back().t; }
  Nanos ByteTime() const { return world->PeerByteTime(); }

  // Everything the device sent, parsed from byte `from` on: probe answers are
  // counted, reply frames decoded.
  std::vector<SeenReply> Replies(size_t from = 0) {
    std::vector<SeenReply> out;
    probeAnswers = 0;
    size_t i = from;
    while (i < fromDevice.size()) {
      if (fromDevice[i].byte == 0xAC && i + 1 < fromDevice.size() && fromDevice[i + 1].byte == 0x3A) {
        ++probeAnswers;
        i += 2;
        continue;
      }
      if (fromDevice[i].byte != 0xAD || i + 2 >= fromDevice.size()) {
        ++i;
        continue;
      }
      const size_t n = fromDevice[i + 2].byte;
      if (i + 5 + n > fromDevice.size()) break;
      std::vector<uint8_t> raw;
      for (size_t k = 0; k < n + 5; ++k) raw.push_back(fromDevice[i + k].byte);
      SeenReply reply{fromDevice[i].t, fromDevice[i + n + 4].t, raw[1], {}, ReferenceCrc(raw) == 0};
      for (size_t k = 0; k < n; ++k)
        reply.payload.push_back(static_cast<uint8_t>((raw[3 + k] + 0x5D) & 0xFF) ^ raw[1]);
      out.push_back(reply);
      i += n + 5;
    }
    return out;
  }

  std::optional<SeenReply> ExchangeOnce(const std::vector<uint8_t>& frame, double waitMs = 30) {
    const size_t mark = fromDevice.size();
    Send(frame);
    RunFor(waitMs + frame.size() * 0.27);
    auto replies = Replies(mark);
    if (replies.empty()) return std::nullopt;
    return replies.front();
  }

  Tq410 device;
  void* handle = nullptr;
  std::vector<sim::TimedByte> fromDevice, toDevice;
  int probeAnswers = 0;
};

const std::vector<uint8_t> kProbeBytes(tq410::kProbe, tq410::kProbe + 5);

TEST_F(Tq410Test, ProbeIsAnsweredOneMillisecondAfterItsLastByte) {
  Send(kProbeBytes);
  RunFor(10);
  ASSERT_EQ(fromDevice.size(), 2u);
  const Nanos probeEnd = LastArrival();
  EXPECT_EQ(probeEnd, 5 * ByteTime());
  EXPECT_EQ(fromDevice[0].byte, 0xAC);
  EXPECT_EQ(fromDevice[1].byte, 0x3A);
  EXPECT_EQ(fromDevice[0].t, probeEnd + Tq410::kProbeAnswerDelay + ByteTime());
  EXPECT_EQ(fromDevice[1].t, probeEnd + Tq410::kProbeAnswerDelay + 2 * ByteTime());
  EXPECT_EQ(device.counters.probesHeard, 1u);
  EXPECT_EQ(device.counters.probesAnswered, 1u);
  EXPECT_EQ(device.counters.repliesSent, 0u);
}

TEST_F(Tq410Test, ProbeAmongNoiseAndBrokenProbesIsStillFound) {
  // Noise, a probe cut off after three bytes, then a whole probe.
  Send({0x00, 0x64, 0x35, 0x3A, 0xF0, 0x35, 0x3A, 0xF0, 0x01, 0x64});
  RunFor(10);
  EXPECT_EQ(device.counters.probesHeard, 1u);
  Replies();
  EXPECT_EQ(probeAnswers, 1);
}

TEST_F(Tq410Test, GetInfoReplyDecodesToTheIdentity) {
  struct Case {
    sim::Tq410Identity id;
  } cases[] = {
      {{0x0A21, 0x0235, 0x013F, 12, 345}},
      {{0xFFFF, 0xFFFF, 0xFFFF, 65535, 65535}},
      {{0, 1, 0x100, 0, 7}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id.codeH);
    device.identity = c.id;
    const size_t mark = fromDevice.size();
    Send(GetInfoFrame());
    RunFor(30);
    const Nanos frameEnd = LastArrival();
    auto replies = Replies(mark);
    ASSERT_EQ(replies.size(), 1u);
    const SeenReply& r = replies[0];
    EXPECT_TRUE(r.crcGood);
    EXPECT_EQ(r.key, tq410::kGetInfoKey);
    ASSERT_EQ(r.payload.size(), 17u);
    EXPECT_EQ(r.Code(), '1');
    auto at = [&](size_t p) { return r.payload[p] | r.payload[p + 1] << 8; };
    EXPECT_EQ(at(3), c.id.codeH);
    EXPECT_EQ(at(6), c.id.codeB);
    EXPECT_EQ(at(9), c.id.codeS);
    EXPECT_EQ(at(12), c.id.idA);
    EXPECT_EQ(at(15), c.id.idB);
    EXPECT_EQ(r.firstByte, frameEnd + Tq410::kInquiryTime + ByteTime());
    EXPECT_EQ(r.lastByte, r.firstByte + 21 * ByteTime());
  }
}

TEST_F(Tq410Test, GetInfoPayloadCanBeCutShortOrPadded) {
  for (size_t length : {2u, 16u, 20u}) {
    device.infoPayloadLength = length;
    auto r = ExchangeOnce(GetInfoFrame());
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->crcGood);
    EXPECT_EQ(r->payload.size(), length);
    EXPECT_EQ(r->Code(), '1');
  }
}

// A damaged frame gets no reply and leaves the device ready for the next one.
TEST_F(Tq410Test, CorruptedFramesAreDroppedWithoutReply) {
  const auto good = WriteFrame(0x40, tq410::kWrite, 0, BlockData(64, 1));
  struct Case {
    const char* what;
    size_t offset;
    uint8_t value;
  } cases[] = {
      {"data byte", 20, 0x5A},
      {"CRC byte", good.size() - 1, 0x00},
      {"length too short", 3, 0x03},
      {"length beyond a frame", 4, 0x10},
      {"length longer than sent", 4, 0x0F},  // swallows bytes until the stall drops it
      {"command", 2, 0x11},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto bad = good;
    bad[c.offset] = c.value == bad[c.offset] ? static_cast<uint8_t>(~c.value) : c.value;
    const uint64_t corruptBefore = device.counters.framesCorrupt;
    const uint64_t stalledBefore = device.counters.framesStalled;
    EXPECT_FALSE(ExchangeOnce(bad, 100).has_value());
    auto r = ExchangeOnce(GetInfoFrame());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->Code(), '1');
    EXPECT_EQ(device.counters.framesCorrupt + device.counters.framesStalled,
              corruptBefore + stalledBefore + 1);
  }
  EXPECT_EQ(device.counters.blocksAccepted, 0u);
  EXPECT_TRUE(device.staged.empty());
}

TEST_F(Tq410Test, AGapOfMoreThanFiftyMillisecondsDropsTheFrame) {
  const auto frame = GetInfoFrame();
  const std::vector<uint8_t> head(frame.begin(), frame.begin() + 20);
  const std::vector<uint8_t> tail(frame.begin() + 20, frame.end());
  struct Case {
    double gapMs;
    bool answered;
  } cases[] = {{40, true}, {49, true}, {51, false}, {200, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gapMs);
    const size_t mark = fromDevice.size();
    Send(head);
    RunFor(6);
    const Nanos headEnd = LastArrival();
    RunUntil(static_cast<double>(headEnd) / kMs + c.gapMs - 0.26);
    Send(tail);
    RunFor(30);
    EXPECT_EQ(Replies(mark).size(), c.answered ? 1u : 0u);
    RunFor(100);
  }
  EXPECT_EQ(device.counters.framesStalled, 2u);
}

TEST_F(Tq410Test, BlocksAreStagedInOrderAndRefusedOutOfOrder) {
  const auto a = BlockData(100, 1), b = BlockData(50, 2), c = BlockData(30, 3);
  struct Step {
    const char* what;
    std::vector<uint8_t> frame;
    uint8_t code;
    Tq410Outcome outcome;
    size_t stagedBytes;
  } steps[] = {
      {"out of order before any run", WriteFrame(0x40, tq410::kWrite, 100, b), '7',
       Tq410Outcome::kRefused, 0},
      {"first block", WriteFrame(0x40, tq410::kWrite, 0, a), '8', Tq410Outcome::kAccepted, 100},
      {"next block, R5 kind", WriteFrame(0x41, tq410::kWriteR5, 100, b), '5',
       Tq410Outcome::kAccepted, 150},
      {"exact repeat", WriteFrame(0x41, tq410::kWriteR5, 100, b), '5', Tq410Outcome::kRepeat, 150},
      {"skips a block", WriteFrame(0x42, tq410::kWrite, 200, c), '7', Tq410Outcome::kRefused, 150},
      {"goes back", WriteFrame(0x42, tq410::kWrite, 100, c), '7', Tq410Outcome::kRefused, 150},
      {"no address", tq410::BuildCommand(0x42, tq410::kWrite, {1, 2}), '7',
       Tq410Outcome::kRefused, 150},
      {"next block", WriteFrame(0x42, tq410::kWrite, 150, c), '8', Tq410Outcome::kAccepted, 180},
      {"address 0 starts again", WriteFrame(0x40, tq410::kWrite, 0, c), '8',
       Tq410Outcome::kAccepted, 30},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    auto r = ExchangeOnce(s.frame);
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->crcGood);
    EXPECT_EQ(r->key, s.frame[1]);
    EXPECT_EQ(r->Code(), s.code);
    EXPECT_EQ(device.frames.back().outcome, s.outcome);
    EXPECT_EQ(device.staged.size(), s.stagedBytes);
  }
  EXPECT_EQ(device.staged, c);
  EXPECT_EQ(device.stagedBlocks, 1u);
  EXPECT_EQ(device.counters.blocksAccepted, 4u);
  EXPECT_EQ(device.counters.blocksRepeated, 1u);
  EXPECT_EQ(device.counters.blocksRefused, 4u);
  EXPECT_TRUE(device.flash.empty());
}

TEST_F(Tq410Test, ProcessingTimesOfTheWriteKinds) {
  struct Case {
    uint8_t command;
    Nanos processing;
  } cases[] = {
      {tq410::kWrite, Tq410::kWriteBaseTime + 2067 * Tq410::kWritePerByte},
      {tq410::kWriteLong, Tq410::kLongWriteTime},
      {tq410::kWriteR5, Tq410::kWriteBaseTime + 2067 * Tq410::kWritePerByte},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    // Address 0 with new data each time: accepted as the start of a new run.
    const auto frame = WriteFrame(0x40, c.command, 0, BlockData(2067, c.command));
    ASSERT_EQ(frame.size(), 2078u);
    const size_t mark = fromDevice.size();
    Send(frame);
    RunFor(600);
    auto replies = Replies(mark);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].firstByte, LastArrival() + c.processing + ByteTime());
    RunFor(10);
  }
  // The long write takes more than the 200 ms a short write's reply is given
  // and less than the 800 ms its own kind is given.
  EXPECT_GT(Tq410::kLongWriteTime, 200 * kMs);
  EXPECT_LT(Tq410::kLongWriteTime + 6 * ByteTime(), 800 * kMs);
}

TEST_F(Tq410Test, AFrameArrivingWhileBusyIsAnsweredAfterTheOneBeforeIt) {
  const auto longWrite = WriteFrame(0x40, tq410::kWriteLong, 0, BlockData(64, 1));
  Send(longWrite);
  Send(GetInfoFrame());
  RunFor(600);
  const Nanos longEnd = toDevice[longWrite.size() - 1].t;
  auto replies = Replies();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].Code(), '8');
  EXPECT_EQ(replies[1].Code(), '1');
  EXPECT_EQ(replies[0].firstByte, longEnd + Tq410::kLongWriteTime + ByteTime());
  EXPECT_EQ(replies[1].firstByte, longEnd + Tq410::kLongWriteTime + Tq410::kInquiryTime + ByteTime());
  EXPECT_EQ(device.counters.framesWhileBusy, 1u);
}

TEST_F(Tq410Test, CommitChecksTheStagedBlocks) {
  const auto a = BlockData(100, 1), b = BlockData(60, 2);
  std::vector<uint8_t> all = a;
  all.insert(all.end(), b.begin(), b.end());
  auto other = all;
  other[5] ^= 1;
  struct Case {
    const char* what;
    std::vector<uint8_t> commit;
    bool accepted;
  } cases[] = {
      {"wrong data CRC", CommitFrame(0x42, 0x0140, 2, other), false},
      {"wrong block count", CommitFrame(0x42, 0x0140, 3, all), false},
      {"wrong byte count", CommitFrame(0x42, 0x0140, 2, a), false},
      {"body too short", tq410::BuildCommand(0x42, tq410::kCommit, {0x40, 0x01, 2, 0}), false},
      {"matching", CommitFrame(0x42, 0x0140, 2, all), true},
  };
  device.identity.codeS = 0x0100;
  device.flash = {9, 9, 9};
  ASSERT_EQ(ExchangeOnce(WriteFrame(0x40, tq410::kWrite, 0, a))->Code(), '8');
  ASSERT_EQ(ExchangeOnce(WriteFrame(0x41, tq410::kWrite, 100, b))->Code(), '8');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Nanos sent = world->Now();
    auto r = ExchangeOnce(c.commit, 60);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->Code(), c.accepted ? '6' : '7');
    if (c.accepted) {
      EXPECT_EQ(device.flash, all);
      EXPECT_EQ(device.identity.codeS, 0x0140);
      ASSERT_EQ(device.commits.size(), 1u);
      EXPECT_GT(device.commits[0].t, sent);
      EXPECT_EQ(r->firstByte, device.commits[0].t + Tq410::kCommitTime + ByteTime());
    } else {
      EXPECT_EQ(device.flash, (std::vector<uint8_t>{9, 9, 9}));
      EXPECT_EQ(device.identity.codeS, 0x0100);
      EXPECT_TRUE(device.commits.empty());
    }
  }
  // The host resends a commit whose reply it lost: acknowledged, not redone.
  auto again = ExchangeOnce(cases[4].commit, 60);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->Code(), '6');
  EXPECT_EQ(device.frames.back().outcome, Tq410Outcome::kRepeat);
  EXPECT_EQ(device.counters.commits, 1u);
  EXPECT_EQ(device.counters.commitsRefused, 4u);
  // The new level shows in the identity.
  auto info = ExchangeOnce(GetInfoFrame());
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->payload[9] | info->payload[10] << 8, 0x0140);
}

TEST_F(Tq410Test, CommitWithNothingStagedIsRefused) {
  auto r = ExchangeOnce(CommitFrame(0x40, 0x0140, 0, {}), 60);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->Code(), '7');
  EXPECT_EQ(device.counters.commits, 0u);
}

TEST_F(Tq410Test, AWholeImageEndsInFlashAndTheAcceptedFramesAreTheImagesFrames) {
  const auto image = test_release::BuildImage(0x0A21, 0x0235, 0x013F, {164, 2068, 2068, 356, 164});
  device.identity.codeS = 0x0100;
  for (const auto& frame : image.frames) {
    auto r = ExchangeOnce(frame, 500);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->key, frame[1]);
  }
  EXPECT_EQ(device.AcceptedFrames(), image.frames);
  EXPECT_EQ(device.flash, image.data);
  EXPECT_EQ(device.identity.codeS, 0x013F);
  EXPECT_EQ(device.counters.commits, 1u);
  EXPECT_EQ(device.counters.repliesSent, image.frames.size());
}

TEST_F(Tq410Test, ScriptedRefusalsTakeTheNextFramesWithTheKey) {
  device.RefuseKey(tq410::kGetInfoKey, 2);       // no reply, twice
  device.RefuseKey(tq410::kGetInfoKey, 1, '2');  // then R2 once
  device.RefuseKey(0x40, 1, '7');
  EXPECT_FALSE(ExchangeOnce(GetInfoFrame()).has_value());
  EXPECT_FALSE(ExchangeOnce(GetInfoFrame()).has_value());
  auto r2 = ExchangeOnce(GetInfoFrame());
  ASSERT_TRUE(r2.has_value());
  EXPECT_TRUE(r2->crcGood);
  EXPECT_EQ(r2->payload, (std::vector<uint8_t>{'R', '2'}));
  EXPECT_EQ(ExchangeOnce(GetInfoFrame())->Code(), '1');
  // A refused write changes nothing; the same frame is taken next time.
  const auto w = WriteFrame(0x40, tq410::kWrite, 0, BlockData(10, 1));
  EXPECT_EQ(ExchangeOnce(w)->Code(), '7');
  EXPECT_TRUE(device.staged.empty());
  EXPECT_EQ(ExchangeOnce(w)->Code(), '8');
  EXPECT_EQ(device.counters.scriptedRefusals, 4u);
}

TEST_F(Tq410Test, ProbesCanBeLeftUnanswered) {
  device.answersProbe = [](uint64_t n) { return n % 3 == 0; };
  for (int k = 0; k < 6; ++k) {
    Send(kProbeBytes);
    RunFor(10);
  }
  Replies();
  EXPECT_EQ(probeAnswers, 2);
  EXPECT_EQ(device.counters.probesHeard, 6u);
  EXPECT_EQ(device.counters.probesAnswered, 2u);
}

// Silent while the reset line is asserted and for 50 ms after its release.
TEST_F(Tq410Test, ResetPulseSilencesTheDeviceUntilItHasBooted) {
  ASSERT_EQ(ExchangeOnce(WriteFrame(0x40, tq410::kWrite, 0, BlockData(10, 1)))->Code(), '8');
  ASSERT_EQ(world->SetResetLine(handle, true), 0u);
  const double assertedAt = NowMs();
  EXPECT_EQ(device.counters.resets, 1u);
  EXPECT_TRUE(device.staged.empty()) << "staged blocks live in RAM";
  Send(kProbeBytes);
  RunFor(10);
  RunUntil(assertedAt + 20);
  ASSERT_EQ(world->SetResetLine(handle, false), 0u);
  const double releasedAt = NowMs();
  // A probe is heard only when its lead byte arrives once the device has booted.
  struct Case {
    double probeStartsAfterRelease;
    bool answered;
  } cases[] = {{1, false}, {30, false}, {49.5, false}, {50, true}, {60, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.probeStartsAfterRelease);
    const size_t mark = fromDevice.size();
    RunUntil(releasedAt + c.probeStartsAfterRelease);
    Send(kProbeBytes);
    RunFor(5);
    Replies(mark);
    EXPECT_EQ(probeAnswers, c.answered ? 1 : 0);
  }
  EXPECT_EQ(device.counters.probesHeard, 2u);
  EXPECT_EQ(device.counters.boots, 1u);
}

TEST_F(Tq410Test, ResetCutsAReplyShort) {
  device.infoPayloadLength = 200;  // a reply that takes 53 ms on the line
  Send(GetInfoFrame());
  RunFor(20);
  ASSERT_EQ(world->SetResetLine(handle, true), 0u);
  const size_t sent = fromDevice.size();
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, 205u);
  RunFor(100);
  EXPECT_EQ(fromDevice.size(), sent + 1) << "only the byte already on the wire arrives";
  EXPECT_GT(device.counters.repliesCut, 0u);
}

TEST_F(Tq410Test, UnpluggedDeviceHearsNothingAndBootsWhenPluggedAgain) {
  device.UnplugAt(*world, 10 * kMs);
  device.PlugAt(*world, 100 * kMs);
  struct Probe {
    double at;
    bool answered;
  } probes[] = {{0, true}, {20, false}, {90, false}, {110, false}, {145, false}, {160, true}};
  for (const auto& p : probes) {
    SCOPED_TRACE(p.at);
    const size_t mark = fromDevice.size();
    SendAt(p.at, kProbeBytes);
    RunFor(5);
    Replies(mark);
    EXPECT_EQ(probeAnswers, p.answered ? 1 : 0);
  }
  EXPECT_EQ(device.counters.unplugs, 1u);
  EXPECT_EQ(device.counters.boots, 1u);
  EXPECT_EQ(device.counters.probesHeard, 2u);
}

class Tq410BridgeTest : public Tq410Test {
 protected:
  void SetUp() override {
    Tq410Test::SetUp();
    device.identity = {0x0A21, 0x0235, 0x0100, 1, 2};
    second.identity = {0x0A23, 0x0235, 0x0101, 3, 4};
  }
  Tq410 second;
};

TEST_F(Tq410BridgeTest, LoneDeviceDoesNotAnswerTheBridgeFrame) {
  EXPECT_FALSE(ExchangeOnce(test_release::BridgeFrame()).has_value());
  EXPECT_FALSE(device.relaying);
  EXPECT_EQ(device.frames.back().outcome, Tq410Outcome::kIgnored);
  EXPECT_EQ(ExchangeOnce(GetInfoFrame())->payload[12], 1);  // idA
}

TEST_F(Tq410BridgeTest, BridgeRelaysToTheSecondDeviceUntilTheResetLinePulses) {
  device.SetBehind(&second);
  auto r9 = ExchangeOnce(test_release::BridgeFrame());
  ASSERT_TRUE(r9.has_value());
  EXPECT_EQ(r9->Code(), '9');
  EXPECT_TRUE(device.relaying);

  // The second device answers now, each byte a little later for the relay.
  const size_t mark = fromDevice.size();
  Send(GetInfoFrame());
  RunFor(40);
  const Nanos frameEnd = LastArrival();
  auto replies = Replies(mark);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_TRUE(replies[0].crcGood);
  EXPECT_EQ(replies[0].payload[12], 3);  // idA of the second device
  const Nanos hop = Tq410::kRelayTurnaround + ByteTime();
  EXPECT_EQ(replies[0].firstByte, frameEnd + hop + Tq410::kInquiryTime + ByteTime() + hop);
  EXPECT_EQ(second.counters.framesReceived, 1u);
  EXPECT_EQ(device.counters.bytesRelayedDown, 40u);
  EXPECT_EQ(device.counters.bytesRelayedUp, 22u);

  // Probes too.
  Send(kProbeBytes);
  RunFor(10);
  EXPECT_EQ(second.counters.probesAnswered, 1u);
  EXPECT_EQ(device.counters.probesHeard, 0u);

  // A reset pulse ends the relay: the first device answers again after booting.
  world->SetResetLine(handle, true);
  RunFor(20);
  world->SetResetLine(handle, false);
  RunFor(60);
  EXPECT_FALSE(device.relaying);
  auto own = ExchangeOnce(GetInfoFrame());
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(own->payload[12], 1);  // idA
  EXPECT_EQ(second.counters.framesReceived, 1u);
}

TEST_F(Tq410BridgeTest, TheSecondDeviceIsFlashedThroughTheBridge) {
  device.SetBehind(&second);
  ASSERT_EQ(ExchangeOnce(test_release::BridgeFrame())->Code(), '9');
  const auto image = test_release::BuildImage(0x0A23, 0x0235, 0x013F, {164, 2068, 356, 164});
  for (const auto& frame : image.frames) ASSERT_TRUE(ExchangeOnce(frame, 500).has_value());
  EXPECT_EQ(second.AcceptedFrames(), image.frames);
  EXPECT_EQ(second.flash, image.data);
  EXPECT_EQ(second.identity.codeS, 0x013F);
  EXPECT_TRUE(device.flash.empty());
  EXPECT_EQ(device.identity.codeS, 0x0100);
}

}  // namespace
