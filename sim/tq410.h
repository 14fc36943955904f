// The simulated TQ410: one whole device at the far end of the line, or behind
// another device's bridge. One struct with its state and a switch on the
// command; the grammar it speaks is sim/tq410_grammar.md.
//
// It hears bytes through sim::LinePeer and answers through the World's line,
// one byte at a time, so a reset or an unplugging silences it at once, even in
// the middle of a reply. Everything it does is recorded in `counters`,
// `frames` and `commits` for the tests to check.
//
// The device must outlive every use of the World that may still reach it
// (World::Reset drops its timers).
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "sim/tq410_grammar.h"
#include "sim/world.h"

namespace sim {

struct Tq410Identity {
  uint16_t codeH = 0x0A21;
  uint16_t codeB = 0x0235;
  uint16_t codeS = 0x0100;  // firmware level; a successful commit sets it
  uint16_t idA = 12;
  uint16_t idB = 345;
};

// What became of a well-formed frame (right length and CRC).
enum class Tq410Outcome : uint8_t {
  kAccepted,  // inquiry answered, bridge entered, block staged or commit made
  kRepeat,    // exact repeat of the last accepted block or commit: acknowledged again
  kRefused,   // out of order, malformed body, or a commit that does not check out: R7
  kIgnored,   // not for this device (bridge without a second device, unknown command)
  kScripted,  // taken by a scenario refusal: no reply, or its chosen code
};

struct Tq410FrameRecord {
  Nanos received;             // its last byte arrived
  Nanos replyReady;           // its reply was ready to go on the line; kNever: none
  uint8_t key, command;
  uint8_t replyCode;          // the digit after 'R', 0 for no reply
  Tq410Outcome outcome;
  std::vector<uint8_t> frame;  // empty unless keepFrames
};

struct Tq410Commit {
  Nanos t;  // the commit frame was executed
  uint16_t level;
  uint32_t bytes;
};

struct Tq410Counters {
  uint64_t bytesHeard = 0;       // bytes that reached a listening device (relayed ones included)
  uint64_t noiseBytes = 0;       // bytes outside any frame, waiting for a lead byte
  uint64_t probesHeard = 0;      // complete probes
  uint64_t probesAnswered = 0;
  uint64_t framesReceived = 0;   // well-formed frames, whatever became of them
  uint64_t framesCorrupt = 0;    // bad length or CRC: dropped without reply
  uint64_t framesStalled = 0;    // dropped after a gap of more than 50 ms
  uint64_t framesWhileBusy = 0;  // arrived while an earlier frame was still being processed
  uint64_t repliesSent = 0;      // reply frames put on the line (probe answers not counted)
  uint64_t blocksAccepted = 0, blocksRepeated = 0, blocksRefused = 0;
  uint64_t commits = 0, commitsRepeated = 0, commitsRefused = 0;
  uint64_t scriptedRefusals = 0;
  uint64_t bridgesEntered = 0;
  uint64_t bytesRelayedDown = 0;  // host to the device behind
  uint64_t bytesRelayedUp = 0;    // device behind to host
  uint64_t bytesSent = 0;         // bytes this device put on its line
  uint64_t resets = 0;            // reset pulses begun
  uint64_t boots = 0;             // after a reset pulse or a plug-in
  uint64_t unplugs = 0;
  uint64_t repliesCut = 0;        // reply bytes left unsent by a reset or an unplugging
};

struct Tq410 final : LinePeer {
  // --- timing (grammar table) ---
  static constexpr Nanos kProbeAnswerDelay = 1 * kMs;
  static constexpr Nanos kInquiryTime = 2 * kMs;          // get-info, bridge, quick refusals
  static constexpr Nanos kWriteBaseTime = 4 * kMs;        // 0x10 and 0x12, plus per byte:
  static constexpr Nanos kWritePerByte = 8000;            // 8 µs a data byte
  static constexpr Nanos kLongWriteTime = 450 * kMs;      // 0x11: sector erase and write
  static constexpr Nanos kCommitTime = 30 * kMs;
  static constexpr Nanos kStallTimeout = 50 * kMs;        // gap that drops a partial frame
  static constexpr Nanos kBootTime = 50 * kMs;            // silence after reset release or plug-in
  static constexpr Nanos kRelayTurnaround = 20000;        // 20 µs from byte in to byte out
  static constexpr size_t kMaxFrame = 4095;               // a frame entry's 12-bit length
  static constexpr size_t kFlashSize = 1 << 20;

  // --- scenario settings ---
  Tq410Identity identity;
  size_t infoPayloadLength = 17;  // get-info payload as sent: cut short, or padded with zeros
  // Probe number n (from 1, counted per device) is answered when this says so;
  // null answers every probe.
  std::function<bool(uint64_t n)> answersProbe;
  bool keepFrames = true;  // keep each frame's bytes in `frames` (off for long campaigns)

  // The next `times` well-formed frames with this key are taken by the
  // scenario: no reply (code 0) or a valid reply 'R' code with no effect.
  void RefuseKey(uint8_t key, int times, uint8_t code = 0);

  // Puts `second` behind this device's bridge: it then answers the bridge
  // frame, and relays the line to `second` until the reset line pulses.
  void SetBehind(Tq410* second);

  // Makes this device the far end of the world's line.
  void Attach(World& world) { world.peer = this; }

  // Scripted unplugging and plugging (a plug-in boots the device).
  void Unplug(World& world, Nanos t);
  void Plug(World& world, Nanos t);
  void UnplugAt(World& world, Nanos t);
  void PlugAt(World& world, Nanos t);

  // --- state ---
  bool plugged = true;
  bool resetHeld = false;
  Nanos bootUntil = 0;  // deaf and silent before this
  bool relaying = false;
  std::vector<uint8_t> flash;     // committed firmware
  std::vector<uint8_t> staged;    // blocks of the current run, back to back from address 0
  uint32_t stagedBlocks = 0;
  bool runCommitted = false;      // the staged run has been committed
  std::vector<uint8_t> lastBlock;   // address and data of the last accepted block
  std::vector<uint8_t> lastCommit;  // body of the last accepted commit

  // --- record ---
  Tq410Counters counters;
  std::vector<Tq410FrameRecord> frames;
  std::vector<Tq410Commit> commits;

  // Frames with the outcome kAccepted, in the order executed (needs keepFrames).
  std::vector<std::vector<uint8_t>> AcceptedFrames() const;

  // Listening and able to answer at t: plugged, not held in reset, booted.
  bool Running(Nanos t) const { return plugged && !resetHeld && t >= bootUntil; }

  void OnByte(World& world, Nanos t, uint8_t byte) override;
  void OnResetLine(World& world, Nanos t, bool asserted) override;

 private:
  struct Refusal {
    uint8_t key;
    int times;
    uint8_t code;
  };
  struct Reply {
    bool send = false;
    Nanos time = kInquiryTime;  // processing before the reply is ready
    Tq410Outcome outcome = Tq410Outcome::kIgnored;
    std::vector<uint8_t> payload;
  };

  void Stop();
  void Parse(World& world, Nanos t, uint8_t byte);
  void Resync(World& world, Nanos t);
  void AnswerProbe(World& world, Nanos t);
  void Enqueue(World& world, Nanos t, std::vector<uint8_t> frame);
  void RunJobs(World& world, Nanos t);
  Nanos Execute(World& world, Nanos t, const std::vector<uint8_t>& frame, Nanos received);
  Reply Decide(World& world, Nanos t, const std::vector<uint8_t>& frame);
  Reply WriteBlock(const std::vector<uint8_t>& frame, uint8_t code);
  Reply Commit(Nanos t, const std::vector<uint8_t>& frame);
  void RelayDown(World& world, Nanos t, uint8_t byte);
  void RelayUp(World& world, Nanos t, uint8_t byte);
  void Transmit(World& world, Nanos ready, const uint8_t* bytes, size_t count);
  void ArmSender(World& world);

  std::vector<Refusal> refusals;
  Tq410* behind = nullptr;
  Tq410* front = nullptr;  // the device whose bridge relays this one's replies

  uint64_t epoch = 0;  // raised by a reset or unplugging; stale timers check it
  std::vector<uint8_t> rx;
  Nanos lastByteAt = 0;
  struct Job {
    Nanos received;
    std::vector<uint8_t> frame;
  };
  std::deque<Job> jobs;
  Nanos busyUntil = 0;
  bool jobTimerArmed = false;
  std::deque<TimedByte> out;  // bytes to send, each not before its time
  bool senderArmed = false;
  Nanos lineFreeAt = 0;
  Nanos downFreeAt = 0;
};

}  // namespace sim
