#include "sim/tq410.h"

#include <algorithm>
#include <utility>

namespace sim {

namespace {
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void PutLe16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
}  // namespace

void Tq410::RefuseKey(uint8_t key, int times, uint8_t code) {
  refusals.push_back({key, times, code});
}

void Tq410::SetBehind(Tq410* second) {
  if (behind != nullptr) behind->front = nullptr;
  behind = second;
  if (second != nullptr) second->front = this;
}

std::vector<std::vector<uint8_t>> Tq410::AcceptedFrames() const {
  std::vector<std::vector<uint8_t>> out;
  for (const auto& record : frames)
    if (record.outcome == Tq410Outcome::kAccepted) out.push_back(record.frame);
  return out;
}

// Power lost or reset held: everything in RAM goes, the flash stays.
void Tq410::Stop() {
  ++epoch;
  counters.repliesCut += out.size();
  rx.clear();
  jobs.clear();
  out.clear();
  busyUntil = 0;
  jobTimerArmed = false;
  senderArmed = false;
  relaying = false;
  staged.clear();
  stagedBlocks = 0;
  runCommitted = false;
  lastBlock.clear();
  lastCommit.clear();
}

void Tq410::Unplug(World& world, Nanos t) {
  (void)world, (void)t;
  if (!plugged) return;
  plugged = false;
  ++counters.unplugs;
  Stop();
}

void Tq410::Plug(World& world, Nanos t) {
  (void)world;
  if (plugged) return;
  plugged = true;
  bootUntil = t + kBootTime;
  ++counters.boots;
}

void Tq410::UnplugAt(World& world, Nanos t) {
  world.At(t, [this, &world, t] { Unplug(world, t); });
}

void Tq410::PlugAt(World& world, Nanos t) {
  world.At(t, [this, &world, t] { Plug(world, t); });
}

void Tq410::OnResetLine(World& world, Nanos t, bool asserted) {
  (void)world;
  if (asserted) {
    resetHeld = true;
    ++counters.resets;
    Stop();
  } else {
    resetHeld = false;
    bootUntil = t + kBootTime;
    if (plugged) ++counters.boots;
  }
}

void Tq410::OnByte(World& world, Nanos t, uint8_t byte) {
  if (!Running(t)) return;
  ++counters.bytesHeard;
  if (relaying) {
    RelayDown(world, t, byte);
    return;
  }
  Parse(world, t, byte);
}

void Tq410::Parse(World& world, Nanos t, uint8_t byte) {
  if (!rx.empty() && t - lastByteAt > kStallTimeout) {
    ++counters.framesStalled;
    rx.clear();
  }
  lastByteAt = t;
  if (rx.empty()) {
    if (byte == tq410::kCommandLead)
      rx.push_back(byte);
    else
      ++counters.noiseBytes;
    return;
  }
  rx.push_back(byte);

  // The probe is five raw bytes; no frame has its key (0x3A).
  if (rx[1] == tq410::kProbe[1]) {
    if (byte != tq410::kProbe[rx.size() - 1]) {
      Resync(world, t);
    } else if (rx.size() == sizeof tq410::kProbe) {
      rx.clear();
      AnswerProbe(world, t);
    }
    return;
  }

  if (rx.size() < tq410::kHeaderSize) return;
  const size_t length = Le16(&rx[3]);
  if (length < tq410::kMinFrame || length > kMaxFrame) {
    ++counters.framesCorrupt;
    Resync(world, t);
    return;
  }
  if (rx.size() < length) return;
  std::vector<uint8_t> frame;
  frame.swap(rx);
  if (tq410::Crc16(frame.data(), frame.size()) != 0) {
    // A damaged frame is dropped whole; the next lead byte starts afresh.
    ++counters.framesCorrupt;
    return;
  }
  ++counters.framesReceived;
  Enqueue(world, t, std::move(frame));
}

// A false start: look for the next lead byte among what was collected after
// the first byte.
void Tq410::Resync(World& world, Nanos t) {
  std::vector<uint8_t> rest(rx.begin() + 1, rx.end());
  rx.clear();
  for (uint8_t b : rest) Parse(world, t, b);
}

void Tq410::AnswerProbe(World& world, Nanos t) {
  ++counters.probesHeard;
  if (answersProbe && !answersProbe(counters.probesHeard)) return;
  ++counters.probesAnswered;
  Transmit(world, t + kProbeAnswerDelay, tq410::kProbeAnswer, sizeof tq410::kProbeAnswer);
}

// Frames are processed one after another; one that completes while an earlier
// one is still being processed waits its turn.
void Tq410::Enqueue(World& world, Nanos t, std::vector<uint8_t> frame) {
  if (busyUntil > t || !jobs.empty()) ++counters.framesWhileBusy;
  jobs.push_back({t, std::move(frame)});
  RunJobs(world, t);
}

void Tq410::RunJobs(World& world, Nanos t) {
  while (!jobs.empty() && busyUntil <= t) {
    Job job = std::move(jobs.front());
    jobs.pop_front();
    busyUntil = t + Execute(world, t, job.frame, job.received);
  }
  if (jobs.empty() || jobTimerArmed) return;
  jobTimerArmed = true;
  const uint64_t e = epoch;
  const Nanos at = busyUntil;
  world.At(at, [this, &world, e, at] {
    if (e != epoch) return;
    jobTimerArmed = false;
    RunJobs(world, at);
  });
}

// Decides and applies at once; the reply goes out when the processing time has
// passed. Returns that time.
Nanos Tq410::Execute(World& world, Nanos t, const std::vector<uint8_t>& frame, Nanos received) {
  Tq410FrameRecord record{received, kNever, frame[1], frame[2], 0, Tq410Outcome::kIgnored, {}};
  Reply reply;

  auto refusal = std::find_if(refusals.begin(), refusals.end(),
                              [&](const Refusal& r) { return r.key == frame[1] && r.times > 0; });
  if (refusal != refusals.end()) {
    --refusal->times;
    ++counters.scriptedRefusals;
    reply.outcome = Tq410Outcome::kScripted;
    if (refusal->code != 0) {
      reply.send = true;
      reply.payload = {'R', refusal->code};
    }
  } else {
    reply = Decide(world, t, frame);
  }

  record.outcome = reply.outcome;
  if (keepFrames) record.frame = frame;
  if (reply.send) {
    record.replyReady = t + reply.time;
    record.replyCode = reply.payload.size() >= 2 ? reply.payload[1] : 0;
    const std::vector<uint8_t> bytes = tq410::BuildReply(frame[1], reply.payload);
    ++counters.repliesSent;
    Transmit(world, t + reply.time, bytes.data(), bytes.size());
  }
  frames.push_back(std::move(record));
  return reply.time;
}

Tq410::Reply Tq410::Decide(World& world, Nanos t, const std::vector<uint8_t>& frame) {
  (void)world;
  Reply reply;
  switch (frame[2]) {
    case tq410::kGetInfo: {
      reply.send = true;
      reply.outcome = Tq410Outcome::kAccepted;
      reply.payload = {'R', tq410::kCodeInfo};
      for (uint16_t value :
           {identity.codeH, identity.codeB, identity.codeS, identity.idA, identity.idB}) {
        reply.payload.push_back(0);
        PutLe16(reply.payload, value);
      }
      reply.payload.resize(std::min<size_t>(infoPayloadLength, 255), 0);
      return reply;
    }
    case tq410::kBridge:
      if (behind == nullptr) return reply;  // a lone device does not answer
      reply.send = true;
      reply.outcome = Tq410Outcome::kAccepted;
      reply.payload = {'R', tq410::kCodeBridge};
      relaying = true;
      downFreeAt = t;
      ++counters.bridgesEntered;
      return reply;
    case tq410::kWrite:
      return WriteBlock(frame, tq410::kCodeWritten);
    case tq410::kWriteLong:
      return WriteBlock(frame, tq410::kCodeWritten);
    case tq410::kWriteR5:
      return WriteBlock(frame, tq410::kCodeWrittenR5);
    case tq410::kCommit:
      return Commit(t, frame);
    default:
      return reply;  // unknown command: dropped
  }
}

Tq410::Reply Tq410::WriteBlock(const std::vector<uint8_t>& frame, uint8_t code) {
  Reply reply;
  reply.send = true;
  const size_t bodySize = frame.size() - tq410::kHeaderSize - tq410::kCrcSize;
  if (bodySize < tq410::kAddressSize) {
    ++counters.blocksRefused;
    reply.outcome = Tq410Outcome::kRefused;
    reply.payload = {'R', tq410::kCodeRefused};
    return reply;
  }
  const uint8_t* body = frame.data() + tq410::kHeaderSize;
  const uint32_t address = Le32(body);
  const uint8_t* data = body + tq410::kAddressSize;
  const size_t dataSize = bodySize - tq410::kAddressSize;
  reply.payload = {'R', code};

  // The host resends a frame whose reply it lost: acknowledge, change nothing.
  if (!lastBlock.empty() && std::equal(lastBlock.begin(), lastBlock.end(), body, body + bodySize)) {
    ++counters.blocksRepeated;
    reply.outcome = Tq410Outcome::kRepeat;
    return reply;
  }
  const bool inOrder = address == 0 || (stagedBlocks > 0 && address == staged.size());
  if (!inOrder || static_cast<uint64_t>(address) + dataSize > kFlashSize) {
    ++counters.blocksRefused;
    reply.outcome = Tq410Outcome::kRefused;
    reply.payload = {'R', tq410::kCodeRefused};
    return reply;
  }
  if (address == 0) {
    staged.clear();
    stagedBlocks = 0;
  }
  staged.insert(staged.end(), data, data + dataSize);
  ++stagedBlocks;
  runCommitted = false;
  lastBlock.assign(body, body + bodySize);
  lastCommit.clear();
  ++counters.blocksAccepted;
  reply.outcome = Tq410Outcome::kAccepted;
  reply.time = frame[2] == tq410::kWriteLong
                   ? kLongWriteTime
                   : kWriteBaseTime + kWritePerByte * static_cast<Nanos>(dataSize);
  return reply;
}

Tq410::Reply Tq410::Commit(Nanos t, const std::vector<uint8_t>& frame) {
  Reply reply;
  reply.send = true;
  const size_t bodySize = frame.size() - tq410::kHeaderSize - tq410::kCrcSize;
  const uint8_t* body = frame.data() + tq410::kHeaderSize;
  if (runCommitted && !lastCommit.empty() &&
      std::equal(lastCommit.begin(), lastCommit.end(), body, body + bodySize)) {
    ++counters.commitsRepeated;
    reply.outcome = Tq410Outcome::kRepeat;
    reply.payload = {'R', tq410::kCodeCommitted};
    return reply;
  }
  bool sound = bodySize >= tq410::kCommitFields && stagedBlocks > 0;
  if (sound) {
    const uint16_t blocks = Le16(body + 2);
    const uint32_t totalBytes = Le32(body + 4);
    const uint16_t dataCrc = Le16(body + 8);
    sound = blocks == stagedBlocks && totalBytes == staged.size() &&
            tq410::Crc16(staged.data(), staged.size()) == dataCrc;
  }
  if (!sound) {
    ++counters.commitsRefused;
    reply.outcome = Tq410Outcome::kRefused;
    reply.payload = {'R', tq410::kCodeRefused};
    return reply;
  }
  const uint16_t level = Le16(body);
  flash = staged;
  identity.codeS = level;
  runCommitted = true;
  lastCommit.assign(body, body + bodySize);
  ++counters.commits;
  commits.push_back({t, level, static_cast<uint32_t>(flash.size())});
  reply.outcome = Tq410Outcome::kAccepted;
  reply.payload = {'R', tq410::kCodeCommitted};
  reply.time = kCommitTime;
  return reply;
}

// Host to the device behind: each byte goes out again once it has come in.
void Tq410::RelayDown(World& world, Nanos t, uint8_t byte) {
  if (behind == nullptr) return;
  ++counters.bytesRelayedDown;
  const Nanos start = std::max(t + kRelayTurnaround, downFreeAt);
  const Nanos arrive = start + world.PeerByteTime();
  downFreeAt = arrive;
  const uint64_t e = epoch;
  Tq410* second = behind;
  world.At(arrive, [this, second, &world, e, arrive, byte] {
    if (e != epoch) return;
    second->OnByte(world, arrive, byte);
  });
}

// A byte from the device behind has fully arrived at t.
void Tq410::RelayUp(World& world, Nanos t, uint8_t byte) {
  if (!relaying || !Running(t)) return;
  ++counters.bytesRelayedUp;
  Transmit(world, t + kRelayTurnaround, &byte, 1);
}

void Tq410::Transmit(World& world, Nanos ready, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) out.push_back({ready, bytes[i]});
  ArmSender(world);
}

// Sends the next byte when it is due and the line is free; one timer per byte,
// so a reset or unplugging cuts a reply short.
void Tq410::ArmSender(World& world) {
  if (senderArmed || out.empty()) return;
  senderArmed = true;
  const Nanos at = std::max(out.front().t, lineFreeAt);
  const uint64_t e = epoch;
  world.At(at, [this, &world, e, at] {
    if (e != epoch) return;
    senderArmed = false;
    const uint8_t byte = out.front().byte;
    out.pop_front();
    ++counters.bytesSent;
    lineFreeAt = at + world.PeerByteTime();
    if (front != nullptr)
      front->RelayUp(world, lineFreeAt, byte);
    else
      world.SendToHost(at, &byte, 1);
    ArmSender(world);
  });
}

}  // namespace sim
