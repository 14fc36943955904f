#include <cstring>
#include <string>
#include <vector>

#include "link/adapter_connection.h"
#include "link/frame_exchange.h"
#include "sim/tq410_grammar.h"
#include "tests/fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::kMs;
using sim::Nanos;

// A far end that, once it has heard a whole frame, sends the scripted pieces,
// each `delay` after the frame's last byte arrived.
struct ScriptedPeer : sim::LinePeer {
  struct Piece {
    Nanos delay;
    Bytes bytes;
  };
  size_t frameLength = 0;
  std::vector<Piece> pieces;
  Bytes heard;
  void OnByte(sim::World& w, Nanos t, uint8_t byte) override {
    heard.push_back(byte);
    if (frameLength != 0 && heard.size() % frameLength == 0)
      for (const Piece& p : pieces) w.SendToHost(t + p.delay, p.bytes);
  }
};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class FrameExchangeTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    world->peer = &peer;
    ASSERT_EQ(OpenAdapter(0), 0);
    SetAdapterLatency();
    SetAdapterEventChar();
    SetFrame(tq410::BuildCommand(0x41, tq410::kWrite, Bytes(33, 0x00)));
  }
  void SetFrame(const Bytes& frame) {
    std::memcpy(TransmitFrame, frame.data(), frame.size());
    txLength = static_cast<uint32_t>(frame.size());
    peer.frameLength = frame.size();
  }
  void ReplyAfter(double ms, const Bytes& bytes) {
    peer.pieces.push_back({static_cast<Nanos>(ms * kMs), bytes});
  }
  // Runs one exchange and returns its result and its virtual duration in ms.
  int Exchange(uint32_t timeoutMs, double* elapsedMs = nullptr) {
    const double start = NowMs();
    const int r = ExchangeFrame(timeoutMs);
    if (elapsedMs) *elapsedMs = NowMs() - start;
    return r;
  }
  Bytes Received() const { return Bytes(ReceiveBuffer, ReceiveBuffer + rxCount); }
  uint8_t key() const { return TransmitFrame[1]; }
  Bytes R8() const { return tq410::BuildReply(key(), {'R', '8'}); }
  ScriptedPeer peer;
};

TEST(FrameCrc16, KnownValues) {
  const uint8_t abc[] = {0x61, 0x62, 0x63};
  EXPECT_EQ(FrameCrc16(nullptr, 0), 0x7777);
  EXPECT_EQ(FrameCrc16(abc, 3), 0xE9F8);
  for (const Bytes& run : {Bytes{}, Bytes{0x61, 0x62, 0x63}, Bytes(300, 0xA5), Bytes{0xAD, 0x41, 0}}) {
    Bytes withCrc = run;
    const uint16_t crc = FrameCrc16(run.data(), run.size());
    withCrc.push_back(static_cast<uint8_t>(crc & 0xFF));
    withCrc.push_back(static_cast<uint8_t>(crc >> 8));
    EXPECT_EQ(FrameCrc16(withCrc.data(), withCrc.size()), 0) << run.size();
  }
}

TEST(ValidateReplyTest, FirstFailingTest) {
  const Bytes good = tq410::BuildReply(0x41, {'R', '8'});
  Bytes badLead = good;
  badLead[0] = 0xAC;
  Bytes badLength = good;
  badLength.push_back(0);
  Bytes badCrc = good;
  badCrc[4] ^= 1;
  struct Case {
    Bytes bytes;
    int expected;
  };
  for (const Case& c : {Case{good, 0}, Case{Bytes(good.begin(), good.begin() + 4), 1},
                        Case{badLead, 2}, Case{badLength, 3}, Case{badCrc, 4}}) {
    std::memcpy(ReceiveBuffer, c.bytes.data(), c.bytes.size());
    rxCount = static_cast<uint32_t>(c.bytes.size());
    EXPECT_EQ(ValidateReply(), c.expected);
  }
}

TEST_F(FrameExchangeTest, EchoThenValidReplyIsDescrambled) {
  ReplyAfter(5, tq410::BuildReply(key(), {'R', '8', 0x00, 0xFF, 0x5D}));
  ASSERT_EQ(Exchange(200), 0);
  EXPECT_EQ(rxCount, 10u);
  EXPECT_EQ(ReceiveBuffer[0], 0xAD);
  EXPECT_EQ(ReceiveBuffer[1], key());
  EXPECT_EQ(ReceiveBuffer[2], 5);
  EXPECT_EQ(Bytes(ReceiveBuffer + 3, ReceiveBuffer + 8), (Bytes{'R', '8', 0x00, 0xFF, 0x5D}));
  EXPECT_EQ(peer.heard, Bytes(TransmitFrame, TransmitFrame + txLength));
}

TEST_F(FrameExchangeTest, NoEchoReturnsOneAfterBothWindowsEvenIfTheReplyCame) {
  world->echo = false;
  ReplyAfter(5, R8());
  double elapsed = 0;
  EXPECT_EQ(Exchange(200, &elapsed), 1);
  // Each window closes at the first pass that reads its difference above the limit.
  EXPECT_GE(elapsed, 302);
  EXPECT_LE(elapsed, 304);
}

TEST_F(FrameExchangeTest, SkipEchoGoesStraightToTheReply) {
  world->echo = false;
  skipEcho = 1;
  ReplyAfter(5, R8());
  double elapsed = 0;
  EXPECT_EQ(Exchange(200, &elapsed), 0);
  EXPECT_LT(elapsed, 30);

  peer.pieces.clear();
  EXPECT_EQ(Exchange(200, &elapsed), 2);
  EXPECT_GE(elapsed, 201);
  EXPECT_LE(elapsed, 203);
}

TEST_F(FrameExchangeTest, SkipEchoOnAnEchoingLine) {
  skipEcho = 1;
  ReplyAfter(5, R8());
  EXPECT_EQ(Exchange(200), 0) << "an echo without 0xAC/0xAD is discarded byte by byte";

  // An echo byte 0xAD starts the collection, and the reply can no longer validate.
  Bytes frame(TransmitFrame, TransmitFrame + txLength);
  frame = tq410::BuildCommand(0x42, tq410::kWrite, Bytes{0xAD, 0x42, 0x00, 0x00, 0x00});
  SetFrame(frame);
  peer.heard.clear();
  EXPECT_EQ(Exchange(200), 2);
}

TEST_F(FrameExchangeTest, StrayBytesAndAFalseStartBeforeTheEcho) {
  // Stray bytes reach the chip before the echo's first byte (260 us after the
  // write): a byte other than the lead is dropped, a copy of the lead starts a
  // false match that the one-byte slide must cure.
  const Nanos t = world->Now();
  for (uint8_t stray : {0x11, 0x35, 0x99}) world->InjectAtChip(t + kMs / 10, stray);
  ReplyAfter(5, R8());
  EXPECT_EQ(Exchange(200), 0);
}

TEST_F(FrameExchangeTest, ReplyWithOtherKeyIsNeverValidated) {
  ReplyAfter(5, tq410::BuildReply(static_cast<uint8_t>(key() + 1), {'R', '8'}));
  EXPECT_EQ(Exchange(200), 2);
}

TEST_F(FrameExchangeTest, BadReplyPoisonsTheExchangeEvenIfAGoodOneFollows) {
  Bytes bad = R8();
  bad[bad.size() - 1] ^= 0x01;
  ReplyAfter(5, bad);
  ReplyAfter(10, R8());
  double elapsed = 0;
  EXPECT_EQ(Exchange(200, &elapsed), 2);
  EXPECT_GT(elapsed, 200);
}

TEST_F(FrameExchangeTest, ProbeAnswerLeadStartsACollectionThatNeverValidates) {
  ReplyAfter(5, Concat({Bytes{0xAC, 0x3A}, R8()}));
  EXPECT_EQ(Exchange(200), 2);
}

TEST_F(FrameExchangeTest, ReplyInPiecesIsAcceptedAtItsLastByte) {
  const Bytes reply = tq410::BuildReply(key(), {'R', '8', 1, 2, 3, 4});
  ReplyAfter(5, Bytes(reply.begin(), reply.begin() + 3));
  ReplyAfter(120, Bytes(reply.begin() + 3, reply.end()));
  double elapsed = 0;
  ASSERT_EQ(Exchange(200, &elapsed), 0);
  EXPECT_GT(elapsed, 120);
  EXPECT_LT(elapsed, 140);
}

TEST_F(FrameExchangeTest, EmptyPayloadDescramblesOnlyTheCrc) {
  const Bytes reply = tq410::BuildReply(key(), {});
  ReplyAfter(5, reply);
  ASSERT_EQ(Exchange(200), 0);
  ASSERT_EQ(rxCount, 5u);
  EXPECT_EQ(ReceiveBuffer[2], 0);
  for (int i = 3; i < 5; ++i)
    EXPECT_EQ(ReceiveBuffer[i], static_cast<uint8_t>((reply[i] + 0x5D) ^ key()));
}

TEST_F(FrameExchangeTest, FloodFillsTheBufferWithoutOverrun) {
  world->echo = false;
  skipEcho = 1;
  const Nanos t = world->Now();
  world->InjectAtChip(t + kMs, 0xAD);
  for (int i = 0; i < 6000; ++i) world->InjectAtChip(t + kMs, static_cast<uint8_t>(i));
  double elapsed = 0;
  EXPECT_EQ(Exchange(800, &elapsed), 2);
  EXPECT_EQ(rxCount, kReceiveBufferSize);
  EXPECT_LE(elapsed, 803) << "the window ends however much arrives";
}

TEST_F(FrameExchangeTest, FailedWriteRaisesTheFaultAndTheWindowsStillRun) {
  world->refuse.write = true;
  double elapsed = 0;
  EXPECT_EQ(Exchange(200, &elapsed), 1);
  EXPECT_EQ(adapterFault, 1);
  EXPECT_GT(elapsed, 300);
  EXPECT_EQ(Exchange(200), 1);
  EXPECT_EQ(adapterFault, 2);
}

TEST_F(FrameExchangeTest, DrainsStaleBytesFirst) {
  for (int i = 0; i < 5000; ++i) world->hostQueue.push_back(0xAD);
  ReplyAfter(5, R8());
  EXPECT_EQ(Exchange(200), 0);
}

TEST_F(FrameExchangeTest, RepeatedCallsSendTheSameBytes) {
  ReplyAfter(5, R8());
  ASSERT_EQ(Exchange(200), 0);
  ASSERT_EQ(Exchange(200), 0);
  const Bytes frame(TransmitFrame, TransmitFrame + txLength);
  EXPECT_EQ(peer.heard, Concat({frame, frame}));
}

TEST_F(FrameExchangeTest, WindowsSurviveTheTickCounterWrap) {
  world->tickBase = 0xFFFFFFFFu - 150;  // wraps inside the reply window
  world->echo = false;
  double elapsed = 0;
  EXPECT_EQ(Exchange(200, &elapsed), 1);
  EXPECT_GE(elapsed, 302);
  EXPECT_LE(elapsed, 304);
}

TEST_F(FrameExchangeTest, LongFrameEchoArrivesAfterTheWriteReturns) {
  // A 2078-byte frame: the write blocks for all but the chip's 256-byte
  // buffer; the tail's echo comes within the 100 ms echo window.
  SetFrame(tq410::BuildCommand(0x43, tq410::kWrite, Bytes(2071, 0x5A)));
  ReplyAfter(20, R8());
  double elapsed = 0;
  ASSERT_EQ(Exchange(200, &elapsed), 0);
  const double line = 2078 * 10 * 1000.0 / 38400;
  EXPECT_GT(elapsed, line + 20);
  EXPECT_LT(elapsed, line + 20 + 10);
}

}  // namespace
