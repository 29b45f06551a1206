#include "TsAnalyser.h"

#include <algorithm>
#include <cmath>

#include "StreamPattern.h"
#include "stream/TsPacket.h"

namespace pelorin::tools {

namespace {

constexpr std::size_t kPacket = 188;
constexpr std::uint8_t kRolePat = 1;
constexpr std::uint8_t kRolePmt = 2;
constexpr double kTicksPerSecond = StreamClock::kTicksPerSecond;
constexpr double kTableInterval = kTicksPerSecond / 2;              // PAT, PMT: 0.5 s
constexpr std::uint64_t kPcrRepetition = 27'000'000 / 1000 * 40;  // 40 ms
constexpr std::uint64_t kPcrValueStep = 27'000'000 / 1000 * 100;  // 100 ms
// Before the next PCR tells, the wait is only the bytes since the last at the
// last pair's rate; a variable rate may run several times that. Counted then
// for a PCR that may never come, and taken back if the next one is in time.
constexpr std::uint64_t kPcrLateByBytes = 4 * kPcrRepetition;
// A PCR is exact to a tick, and so is no time placed from it: a gap longer
// than its limit by less than that is within it.
constexpr double kSlackTicks = 1;

inline unsigned be16(const std::uint8_t* p) { return (unsigned{p[0]} << 8) | p[1]; }
inline std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

TsAnalyser::TsAnalyser(const InspectOptions& options)
    : pidLimit_(options.pidTimeoutSeconds * kTicksPerSecond) {
  pids_[0].role = kRolePat;
  watches_.push_back({Watch::Pat, 0});
  occur(watches_.back(), 0);
}

void TsAnalyser::packet(const std::uint8_t* p, std::uint64_t at) {
  at_ = at;
  const auto pid = static_cast<std::uint16_t>(((p[1] & 0x1Fu) << 8) | p[2]);
  PidState& s = pids_[pid];
  ++s.packets;
  if (s.watch >= 0) occur(watches_[static_cast<std::size_t>(s.watch)], at);
  // Before the PCR is read: a packet lost or repeated right before it moves its position.
  const CcVerdict verdict = continuity_.check(p);
  if (verdict == CcVerdict::Error || verdict == CcVerdict::Duplicate) accuracy_.disturbed();
  if (TsHasPcr(p) && pid != kNullPid) {
    pcr(pid, p, TsDiscontinuity(p));
  } else {
    if (pid == clock_.pid()) clock_.carried(at);
    if (s.hasPcr && !s.pcrLate && clock_.timed() &&
        static_cast<double>(at - s.lastPcrAt) * clock_.ticksPerByte() > kPcrLateByBytes + kSlackTicks) {
      // The PID goes on without its PCR: late by the bytes; the next PCR, if
      // one comes, has the last word.
      s.pcrLate = true;
      ++r_.pcrRepetitionErrors;
    }
  }
  ++validPackets_;  // after the clock's figures, which count the packets before this one's byte

  if (verdict == CcVerdict::Error) {
    ++s.ccErrors;
    ++r_.ccErrors;
  }
  if (s.role != 0) {
    if (p[3] & 0xC0) {  // PAT and PMT are never scrambled
      ++(s.role == kRolePat ? r_.patErrors : r_.pmtErrors);
      return;
    }
    psiPayload(pid, p, verdict);
  }
}

void TsAnalyser::pcr(std::uint16_t pid, const std::uint8_t* p, bool discontinuity) {
  const std::uint64_t value = TsPcr(p);
  PidState& s = pids_[pid];
  bool newBase = discontinuity;
  if (s.hasPcr && !discontinuity) {
    // A leap of the value is 2.3b; a step past the repetition limit, 2.3a.
    const std::uint64_t step = PcrForward(s.lastPcr, value);
    const double waited = clock_.timed() ? static_cast<double>(at_ - s.lastPcrAt) * clock_.ticksPerByte()
                                         : static_cast<double>(step);
    // A value that leaps past what the stream in between took is a new time
    // base without the flag; a long wait that the value follows is not.
    if (!PcrAhead(s.lastPcr, value) || (step > kPcrValueStep && static_cast<double>(step) > 2 * waited)) {
      ++r_.pcrDiscontinuityErrors;
      newBase = true;
    } else if (static_cast<double>(step) <= kPcrRepetition + kSlackTicks && s.pcrLate)
      --r_.pcrRepetitionErrors;  // in time after all: the bytes came faster than the last pair's rate
    else if (!s.pcrLate && static_cast<double>(step) > kPcrRepetition + kSlackTicks)
      ++r_.pcrRepetitionErrors;  // the value itself says how long the PID went without
  }
  accuracy_.pcr(pid, value, framed_, newBase);
  s.lastPcr = value;
  s.lastPcrAt = at_;
  s.hasPcr = true;
  s.pcrLate = false;

  const bool started = clock_.started();
  StreamClock::Line line;
  if (clock_.pcr(pid, value, discontinuity, at_, &line)) place(line);
  if (!started) firstPackets_ = coveredPackets_ = validPackets_;
}

void TsAnalyser::occur(Watched& w, std::uint64_t at) {
  if (!w.pending) {
    w.pending = true;
    w.first = w.latest = at;
    w.gapCount = 0;
    return;
  }
  const std::uint64_t gap = at - w.latest;
  w.latest = at;
  if (w.gapCount < kGaps) {
    w.gaps[w.gapCount++] = gap;
    if (w.gapCount < kGaps) return;
  } else if (gap > w.gaps[w.narrowest]) {
    w.gaps[w.narrowest] = gap;
  } else {
    return;
  }
  std::uint8_t n = 0;
  for (std::uint8_t i = 1; i < kGaps; ++i) {
    if (w.gaps[i] < w.gaps[n]) n = i;
  }
  w.narrowest = n;
}

double TsAnalyser::limit(const Watched& w) const { return w.kind == Watch::Pid ? pidLimit_ : kTableInterval; }

void TsAnalyser::count(Watched& w) {
  w.counted = true;
  ++(w.kind == Watch::Pat ? r_.patErrors : w.kind == Watch::Pmt ? r_.pmtErrors : r_.pidErrors);
}

void TsAnalyser::silence(Watched& w, double from, double to) {
  if (to - from > limit(w) + kSlackTicks && !(w.flagged && w.flaggedFrom == from)) {
    w.flagged = true;  // one error per silence, however long
    w.flaggedFrom = from;
    count(w);
  }
}

// The clock has placed a stretch of bytes: the occurrences in it get their
// times, and every gap that ends in it or runs on past it is measured.
void TsAnalyser::place(const StreamClock::Line& line) {
  if (line.to == clock_.coveredTo()) coveredPackets_ = validPackets_;
  for (auto& w : watches_) {
    if (w.pending) {
      if (w.placed) silence(w, w.last, line.time(w.first));
      for (std::uint8_t i = 0; i < w.gapCount; ++i) {
        if (static_cast<double>(w.gaps[i]) * line.ticksPerByte > limit(w) + kSlackTicks) count(w);
      }
      w.last = line.time(w.latest);
      w.placed = true;
      w.pending = false;
    }
    if (w.placed) silence(w, w.last, line.toTau);
  }
}

void TsAnalyser::psiPayload(std::uint16_t pid, const std::uint8_t* p, CcVerdict verdict) {
  if (verdict == CcVerdict::Duplicate) return;
  std::vector<std::uint8_t>& buf = sections_[pid];
  if (verdict == CcVerdict::Error) buf.clear();  // a packet of it is missing
  const unsigned control = (p[3] >> 4) & 0x3u;
  if ((control & 0x1u) == 0) return;
  const std::size_t offset = 4 + ((control & 0x2u) ? 1 + std::size_t{p[4]} : 0);
  if (offset >= kPacket) return;
  const std::uint8_t* payload = p + offset;
  std::size_t n = kPacket - offset;

  // Complete sections are taken off the front; a 0xFF where a table_id would be is stuffing.
  auto drain = [&] {
    while (buf.size() >= 3) {
      if (buf[0] == 0xFF) {
        buf.clear();
        return;
      }
      const std::size_t total = 3 + (((buf[1] & 0x0Fu) << 8) | buf[2]);
      if (total > 1024) {  // no PAT or PMT section is longer
        buf.clear();
        return;
      }
      if (buf.size() < total) return;
      const std::vector<std::uint8_t> one(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(total));
      buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(total));
      section(pid, one.data(), one.size());
    }
  };

  if (p[1] & 0x40) {
    const std::size_t pointer = payload[0];
    ++payload;
    --n;
    if (pointer > n) {
      buf.clear();
      return;
    }
    if (!buf.empty()) {
      buf.insert(buf.end(), payload, payload + pointer);
      drain();
    }
    buf.assign(payload + pointer, payload + n);
    drain();
  } else if (!buf.empty()) {
    buf.insert(buf.end(), payload, payload + n);
    drain();
  }
}

void TsAnalyser::section(std::uint16_t pid, const std::uint8_t* s, std::size_t size) {
  PidState& st = pids_[pid];
  const std::uint8_t tableId = s[0];
  if (st.role == kRolePat) {
    if (tableId != 0x00) {
      ++r_.patErrors;
      return;
    }
  } else if (tableId != 0x02) {
    return;  // other tables may share a PMT's PID
  }
  if (size < 12) return;
  if (crc32Mpeg(s, size) != 0) {
    ++r_.crcErrors;
    return;
  }
  if ((s[5] & 0x01) == 0) return;  // current_next_indicator 0: a table still to come
  const std::uint32_t crc = be32(s + size - 4);

  if (st.role == kRolePat) {
    st.tableSeen = true;
    occur(watches_[0], at_);
    const std::uint8_t version = (s[5] >> 1) & 0x1F;
    const std::uint8_t number = s[6];
    if (version != patVersion_) {
      patVersion_ = version;
      patSections_.clear();
      patCrc_.clear();
    }
    auto known = patCrc_.find(number);
    if (known != patCrc_.end() && known->second == crc) return;
    patCrc_[number] = crc;
    auto& entries = patSections_[number];
    entries.clear();
    for (std::size_t i = 8; i + 4 <= size - 4; i += 4) {
      const auto program = static_cast<std::uint16_t>(be16(s + i));
      const auto mapPid = static_cast<std::uint16_t>(be16(s + i + 2) & 0x1FFF);
      if (program != 0) entries.emplace_back(program, mapPid);  // program 0 names the network PID
    }
    rebuildWatches();
    return;
  }

  // A PMT counts for a program the PAT names, on the PID the PAT names for it.
  const auto program = static_cast<std::uint16_t>(be16(s + 3));
  bool named = false;
  for (const auto& [number, entries] : patSections_) {
    for (const auto& [prog, mapPid] : entries) named = named || (prog == program && mapPid == pid);
  }
  if (!named) return;
  st.tableSeen = true;
  for (auto& w : watches_) {
    if (w.kind == Watch::Pmt && w.pid == pid) occur(w, at_);
  }
  auto known = pmtCrc_.find(program);
  if (known != pmtCrc_.end() && known->second == crc) return;
  pmtCrc_[program] = crc;
  // The PCR's PID is referenced as much as the elementary streams are.
  std::vector<std::uint16_t> streams;
  const auto pcrPid = static_cast<std::uint16_t>(be16(s + 8) & 0x1FFF);
  if (pcrPid != kNullPid) streams.push_back(pcrPid);
  const std::size_t end = size - 4;
  std::size_t i = 12 + (be16(s + 10) & 0x0FFF);
  while (i + 5 <= end) {
    streams.push_back(static_cast<std::uint16_t>(be16(s + i + 1) & 0x1FFF));
    i += 5 + (be16(s + i + 3) & 0x0FFF);
  }
  programPids_[program] = std::move(streams);
  rebuildWatches();
}

void TsAnalyser::rebuildWatches() {
  std::map<std::uint16_t, std::uint16_t> programs;  // program -> PMT PID
  for (const auto& [number, entries] : patSections_) {
    for (const auto& [prog, mapPid] : entries) programs[prog] = mapPid;
  }
  std::vector<Watched> next;
  auto watch = [&](Watch kind, std::uint16_t pid) {
    for (const auto& w : next) {
      if (w.kind == kind && w.pid == pid) return;
    }
    for (const auto& w : watches_) {
      if (w.kind == kind && w.pid == pid) {
        next.push_back(w);
        return;
      }
    }
    next.push_back({kind, pid});
    occur(next.back(), at_);  // silent from here on until it appears
  };
  watch(Watch::Pat, 0);
  for (const auto& [prog, mapPid] : programs) {
    if (mapPid != 0 && mapPid != kNullPid) watch(Watch::Pmt, mapPid);
  }
  for (const auto& [prog, mapPid] : programs) {
    auto streams = programPids_.find(prog);
    if (streams == programPids_.end()) continue;
    for (std::uint16_t pid : streams->second) {
      if (pid != kNullPid) watch(Watch::Pid, pid);
    }
  }
  // Programs the PAT no longer names are forgotten, and so are their PMT PIDs.
  for (auto it = programPids_.begin(); it != programPids_.end();) {
    if (programs.count(it->first) == 0) {
      pmtCrc_.erase(it->first);
      it = programPids_.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& w : watches_) {
    if (w.kind != Watch::Pmt) continue;
    const bool still = std::any_of(next.begin(), next.end(),
                                   [&](const Watched& n) { return n.kind == Watch::Pmt && n.pid == w.pid; });
    if (!still && w.pid != 0) {
      pids_[w.pid].role = 0;
      sections_.erase(w.pid);
    }
  }
  for (const auto& w : watches_) {
    if (w.kind == Watch::Pid) pids_[w.pid].watch = -1;
  }
  for (std::size_t i = 0; i < next.size(); ++i) {
    if (next[i].kind == Watch::Pmt) pids_[next[i].pid].role = kRolePmt;
    if (next[i].kind == Watch::Pid) pids_[next[i].pid].watch = static_cast<std::int16_t>(i);
  }
  watches_ = std::move(next);
}

void TsAnalyser::finish(std::uint64_t end, InspectReport* out) {
  StreamClock::Line line;
  if (clock_.finish(end, &line)) place(line);
  // What was never there at all is an error too, with or without a clock.
  if (validPackets_ > 0) {
    for (auto& w : watches_) {
      if (w.counted) continue;
      const PidState& s = pids_[w.pid];
      if (w.kind == Watch::Pid ? s.packets > 0 : s.tableSeen) continue;
      count(w);
    }
  }

  InspectReport& r = *out;
  r = r_;
  r.rtpDatagrams = rtp_.datagrams();
  r.rtpGaps = rtp_.gaps();
  r.rtpLost = rtp_.lost();
  r.rtpReordered = rtp_.reordered();
  r.pcrAccuracyErrors = accuracy_.errors();
  r.pcrAccuracyJudged = accuracy_.judged();
  if (clock_.started()) {
    r.pcrPid = clock_.firstPid();
    for (const auto& h : clock_.handOvers()) r.clockHandOvers.push_back({h.pid, h.tau / kTicksPerSecond});
    r.durationSeconds = clock_.coveredTicks() / kTicksPerSecond;
    r.estimatedSeconds = clock_.estimatedTicks() / kTicksPerSecond;
    if (clock_.coveredTicks() > 0) {
      r.bitrateBps = static_cast<double>(coveredPackets_ - firstPackets_) * kPacket * 8 / *r.durationSeconds;
    }
  }
  for (std::size_t pid = 0; pid < pids_.size(); ++pid) {
    const PidState& s = pids_[pid];
    if (s.packets == 0) continue;
    PidReport p{static_cast<std::uint16_t>(pid), s.packets, s.ccErrors, std::nullopt};
    if (r.bitrateBps) p.bitrateBps = *r.bitrateBps * static_cast<double>(s.packets) / validPackets_;
    r.pids.push_back(p);
  }
}

}  // namespace pelorin::tools
