// Fuzz target: one ExchangeFrame against whatever the line brings.
//
// The input is decoded into the exchange's settings (skipEcho, time-out, an
// echoing line or not, the frame) and a script of arrivals: single bytes,
// valid or damaged replies, copies of the frame, bursts, pauses, and adapter
// events (reads or status queries refused, the adapter pulled out). Every
// byte that reaches the chip is recorded in arrival order through the world's
// trace, so the checks below need nothing from the code under test:
//   - the result is 0, 1 or 2, and 1 only while waiting for the echo;
//   - the exchange ends within the write, 100 ms of echo window, the reply
//     window and a few ms, and a failure takes at least the whole reply window;
//   - on 0 the buffer holds a reply that is valid for this frame's key (lead,
//     length, Crc16 computed here again) and that arrived as one unbroken run;
//   - a clean line carrying one valid reply in time always gives 0;
//   - rxCount never exceeds 4096, the frame is left unchanged and no read asks
//     for more than the queue holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/status_log.h"
#include "link/adapter_connection.h"
#include "link/frame_exchange.h"
#include "link/host_services.h"
#include "sim/sim_host.h"
#include "sim/tq410_grammar.h"
#include "sim/world.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::kMs;
using sim::Nanos;

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool More() const { return at < size; }
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  uint16_t Le16() {
    const uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | Byte() << 8);
  }
};

[[noreturn]] void Fail(const char* what, long long a = 0, long long b = 0) {
  std::fprintf(stderr, "frame exchange invariant broken: %s (%lld, %lld)\n", what, a, b);
  std::abort();
}

// Every byte that reached the chip, in the order the chip took them in: the
// line's echo of the adapter's own bytes and the far end's bytes.
Bytes arrivals;
bool echoOn = false;

void Trace(Nanos t, sim::Direction direction, uint8_t byte) {
  (void)t;
  // The echo enters the chip in the same event that delivers the byte to the far end.
  if (direction == sim::Direction::kToHost || echoOn) arrivals.push_back(byte);
}

bool Contains(const Bytes& haystack, const uint8_t* needle, size_t length) {
  if (length > haystack.size()) return false;
  for (size_t i = 0; i + length <= haystack.size(); ++i)
    if (std::memcmp(haystack.data() + i, needle, length) == 0) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  sim::World& world = sim::ResetSimulation();
  ClearStatusLog();
  AdapterHandle = nullptr;
  adapterFault = 0;
  rxCount = 0;
  txLength = 0;

  const uint8_t flags = in.Byte();
  skipEcho = flags & 1;
  echoOn = (flags & 2) != 0;
  world.echo = echoOn;
  const uint32_t timeoutMs = in.Le16() % 1024;

  // The frame: one of the grammar's, or raw bytes (the exchange must not care).
  Bytes frame;
  const uint8_t frameKind = in.Byte();
  const uint32_t frameLength = in.Le16() % (frameKind & 0x80 ? 4096u : 300u);
  if (frameKind & 1) {
    frame.resize(frameLength);
    for (auto& b : frame) b = in.Byte();
  } else {
    const uint8_t frameKey = in.Byte();
    Bytes body(frameLength);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(in.Byte() ^ i);
    frame = tq410::BuildCommand(frameKey, in.Byte(), body);
  }

  if (OpenAdapter(0) != 0) Fail("adapter did not open");
  SetAdapterLatency();
  SetAdapterEventChar();
  std::memset(TransmitFrame, 0, sizeof TransmitFrame);
  if (!frame.empty()) std::memcpy(TransmitFrame, frame.data(), frame.size());
  txLength = static_cast<uint32_t>(frame.size());
  const uint8_t key = TransmitFrame[1];  // what a reply must repeat, also for a frame of 0 or 1 byte

  arrivals.clear();
  world.trace = Trace;
  const Nanos t0 = world.Now();
  const Nanos byteTime = world.PeerByteTime();

  // The script. `at` runs on from the exchange's start.
  Nanos at = t0;
  bool adapterEvents = false;
  // Other arrivals ("junk"): whether any holds a lead byte (0xAC, 0xAD), and
  // whether any comes after the first valid reply.
  int validReplies = 0;
  bool junkLead = false, junkAfterReply = false;
  Nanos firstArrival = sim::kNever, validReplyStart = 0, validReplyEnd = 0;
  Bytes validReply;
  auto junk = [&](const Bytes& bytes) {
    for (uint8_t b : bytes) junkLead = junkLead || b == 0xAC || b == 0xAD;
    if (validReplies > 0 && !bytes.empty()) junkAfterReply = true;
  };
  auto send = [&](const Bytes& bytes) {
    if (bytes.empty()) return;
    if (at < firstArrival) firstArrival = at;
    world.SendToHost(at, bytes);
    at = world.toHostFreeAt;
  };
  for (int ops = 0; in.More() && ops < 64; ++ops) {
    const uint8_t op = in.Byte();
    at += static_cast<Nanos>(in.Byte()) * 50000;  // up to 12.75 ms before each step
    switch (op % 9) {
      case 0: {  // one byte
        const Bytes one = {in.Byte()};
        junk(one);
        send(one);
        break;
      }
      case 1:    // a valid reply with a reply code
      case 2: {  // a valid reply with a payload from the input, or a foreign key
        Bytes payload = {'R', static_cast<uint8_t>('0' + in.Byte() % 10)};
        uint8_t replyKey = key;
        if (op % 9 == 2) {
          payload.resize(in.Byte());
          for (auto& b : payload) b = in.Byte();
          if (in.Byte() & 1) replyKey = in.Byte();
        }
        const Bytes reply = tq410::BuildReply(replyKey, payload);
        if (replyKey == key && validReplies == 0) {
          validReply = reply;
          validReplyStart = std::max(at, world.toHostFreeAt);
          validReplyEnd = validReplyStart + reply.size() * byteTime;
        }
        if (replyKey != key) junk(reply);
        send(reply);
        if (replyKey == key) ++validReplies;
        break;
      }
      case 3: {  // a reply damaged in one byte
        Bytes reply = tq410::BuildReply(key, {'R', '8', in.Byte()});
        reply[in.Byte() % reply.size()] ^= static_cast<uint8_t>(in.Byte() | 1);
        junk(reply);
        send(reply);
        break;
      }
      case 4: {  // the frame itself, as a foreign echo would bring it
        Bytes copy(frame.begin(), frame.begin() + std::min<size_t>(frame.size(), 1 + in.Byte() * 4u));
        junk(copy);
        send(copy);
        break;
      }
      case 5: {  // a burst of garbage
        Bytes burst(in.Byte());
        uint32_t x = in.Byte() * 2654435761u + 1;
        for (auto& b : burst) b = static_cast<uint8_t>((x = x * 1103515245u + 12345) >> 16);
        junk(burst);
        send(burst);
        break;
      }
      case 6:  // a long pause
        at += static_cast<Nanos>(in.Le16()) * 20000;
        break;
      case 7: {  // the adapter refuses reads or status queries for a while
        const bool status = in.Byte() & 1;
        const Nanos until = at + static_cast<Nanos>(in.Byte()) * kMs;
        world.At(at, [&world, status] { (status ? world.refuse.status : world.refuse.read) = true; });
        world.At(until, [&world, status] { (status ? world.refuse.status : world.refuse.read) = false; });
        adapterEvents = true;
        break;
      }
      case 8:  // the adapter is pulled out
        world.UnplugAt(at);
        adapterEvents = true;
        break;
    }
  }

  const int result = ExchangeFrame(timeoutMs);
  const Nanos elapsed = world.Now() - t0;

  if (result < 0 || result > 2) Fail("result out of range", result);
  if (result == 1 && skipEcho) Fail("no-echo result while not waiting for the echo");
  if (rxCount > kReceiveBufferSize) Fail("rxCount beyond the buffer", rxCount);
  if (!frame.empty() && std::memcmp(TransmitFrame, frame.data(), frame.size()) != 0) Fail("frame changed");
  if (world.stats.readsBeyondQueue != 0) Fail("read beyond the queue", world.stats.readsBeyondQueue);

  // Time: the write blocks while all but the chip's 256 bytes go out; then at
  // most 100 ms of echo window and the reply window, each closing on a 1 ms
  // pass of a millisecond tick.
  const Nanos writeTime = frame.size() > 256 ? (frame.size() - 256) * world.HostByteTime() : 0;
  const Nanos bound = writeTime + (skipEcho ? 0 : 103 * kMs) + (timeoutMs + 3) * kMs + 2 * kMs;
  if (elapsed > bound) Fail("exchange overran its windows", elapsed / 1000, bound / 1000);
  if (result != 0 && elapsed < static_cast<Nanos>(timeoutMs) * kMs)
    Fail("gave up before the reply window closed", elapsed / 1000, timeoutMs);
  if (result == 1 && elapsed < static_cast<Nanos>(100 + timeoutMs) * kMs)
    Fail("no-echo result before both windows closed", elapsed / 1000, timeoutMs);

  if (result == 0) {
    // Checked again here, with the device's own CRC code: lead, key, length and
    // CRC of the reply as it travelled, and that it came as one unbroken run.
    if (rxCount < 5) Fail("accepted a reply shorter than 5 bytes", rxCount);
    if (ReceiveBuffer[0] != tq410::kReplyLead) Fail("accepted a reply without the lead byte");
    if (ReceiveBuffer[1] != key) Fail("accepted a reply to another key");
    if (ReceiveBuffer[2] + 5u != rxCount) Fail("accepted a reply of the wrong length", rxCount);
    Bytes wire(ReceiveBuffer, ReceiveBuffer + rxCount);
    for (size_t i = 3; i < wire.size(); ++i)
      wire[i] = static_cast<uint8_t>((wire[i] ^ key) - 0x5D);  // scramble back
    if (tq410::Crc16(wire.data(), wire.size()) != 0) Fail("accepted a reply with a bad CRC");
    if (!Contains(arrivals, wire.data(), wire.size())) Fail("accepted bytes that never arrived together");
  }

  // Completeness: exactly one valid reply, complete (flush included) inside
  // the reply window at its earliest, must be accepted when everything else
  // that arrives comes before it and holds no lead byte (the first-byte rule
  // discards it whole): with the echo awaited on an echoing line, after the
  // echo; without, on a line whose echo holds no lead byte either.
  bool frameLead = false;
  for (uint8_t b : frame) frameLead = frameLead || b == 0xAC || b == 0xAD;
  const Nanos echoArrived = t0 + frame.size() * world.HostByteTime();
  // An echo interleaved with the reply breaks both; the device never answers
  // before it has heard the whole frame.
  const bool echoHandled = skipEcho ? !echoOn || (!frameLead && validReplyStart >= echoArrived)
                                    : echoOn && firstArrival >= echoArrived + 6 * kMs;
  const Nanos replyWindowStart = skipEcho ? t0 + writeTime : echoArrived;
  const bool clean = !adapterEvents && echoHandled && validReplies == 1 && !junkLead && !junkAfterReply &&
                     !frame.empty() && validReplyEnd + 5 * kMs <= replyWindowStart + timeoutMs * kMs;
  if (std::getenv("LORMIX_FUZZ_VERBOSE") != nullptr)
    std::fprintf(stderr, "frame %zu bytes, skipEcho %d, echo %d, timeout %u ms: result %d after %.3f ms, rxCount %u%s\n",
                frame.size(), skipEcho, echoOn ? 1 : 0, timeoutMs, result, elapsed / 1e6, rxCount,
                clean ? ", clean reply" : "");
  if (std::getenv("LORMIX_FUZZ_VERBOSE") != nullptr) {
    std::fprintf(stderr, "arrived:");
    for (uint8_t b : arrivals) std::fprintf(stderr, " %02X", b);
    std::fprintf(stderr, "\nheld:");
    for (uint32_t i = 0; i < rxCount && i < kReceiveBufferSize; ++i) std::fprintf(stderr, " %02X", ReceiveBuffer[i]);
    std::fprintf(stderr, "\n");
  }
  if (clean) {
    if (result != 0) Fail("missed a clean valid reply", result);
    Bytes got(ReceiveBuffer, ReceiveBuffer + rxCount);
    for (size_t i = 3; i < got.size(); ++i) got[i] = static_cast<uint8_t>((got[i] ^ key) - 0x5D);
    if (got != validReply) Fail("accepted something other than the clean reply");
  }

  world.trace = nullptr;
  return 0;
}
