// A small synthetic multiplex for the pelorin-inspect tests, with the faults
// its options leave out, and the helpers that wrap, feed and count it.
#pragma once

#include "Inspect.h"
#include "InspectOutput.h"

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "StreamPattern.h"
#include "TsStreams.h"

namespace pelorin::tools::inspecttest {

using Packet = std::array<std::uint8_t, 188>;

constexpr std::uint16_t kPmt = 0x100;
constexpr std::uint16_t kVideo = 0x101;  // carries the PCR
constexpr std::uint16_t kAudio = 0x102;
constexpr std::uint16_t kNull = 0x1FFF;
constexpr std::uint16_t kPmt2 = 0x200;    // a second program's PMT,
constexpr std::uint16_t kVideo2 = 0x201;  // and its video, with a PCR of its own time base

inline std::uint16_t pidOf(const Packet& p) { return static_cast<std::uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }

// A small multiplex, one packet per millisecond of PCR time: PAT and PMT every
// 100 ms, audio every 4th packet, a null packet every 4th, video in between
// with a PCR every 20 ms. A PID left out for a while does not advance its
// continuity counter, as a muxer that has nothing to send; a null packet takes
// its place. With a second program, its PMT follows the first one's and its
// video takes the null packets' places.
struct Mux {
  int ms = 3000;
  bool pcr = true;
  struct Range {
    int from = -1, to = -1;
    bool has(int i) const { return i >= from && i < to; }
  };
  Range noPat, noPmt, noAudio, noPcr;
  int pcrEvery = 20;
  Range noVideo;
  int extraPat = -1;  // one more PAT, at this millisecond
  bool twoPrograms = false;
};

inline void putSection(Packet& p, std::vector<std::uint8_t> s) {
  s[1] = static_cast<std::uint8_t>(0xB0 | ((s.size() + 1) >> 8));  // section_length: what follows, CRC included
  s[2] = static_cast<std::uint8_t>(s.size() + 1);
  const std::uint32_t crc = crc32Mpeg(s.data(), s.size());
  for (int shift : {24, 16, 8, 0}) s.push_back(static_cast<std::uint8_t>(crc >> shift));
  p[4] = 0;  // pointer_field
  std::copy(s.begin(), s.end(), p.begin() + 5);
}

inline Mux with(const std::function<void(Mux&)>& edit) {
  Mux m;
  edit(m);
  return m;
}

inline std::vector<Packet> build(const Mux& m) {
  std::vector<Packet> out;
  std::array<unsigned, 8192> cc{};
  for (int i = 0; i < m.ms; ++i) {
    std::uint16_t pid;
    if (i == m.extraPat) {
      pid = 0;
    } else if (i % 100 == 0) {
      pid = m.noPat.has(i) ? kNull : 0;
    } else if (i % 100 == 1) {
      pid = m.noPmt.has(i) ? kNull : kPmt;
    } else if (i % 100 == 5 && m.twoPrograms) {
      pid = kPmt2;
    } else if (i % 4 == 0) {
      pid = m.noAudio.has(i) ? kNull : kAudio;
    } else if (i % 4 == 3) {
      pid = m.twoPrograms ? kVideo2 : kNull;
    } else {
      pid = m.noVideo.has(i) ? kNull : kVideo;
    }
    Packet p;
    p.fill(0xFF);
    p[0] = 0x47;
    p[1] = static_cast<std::uint8_t>(((pid == 0 || pid == kPmt || pid == kPmt2) ? 0x40 : 0) | (pid >> 8));
    p[2] = static_cast<std::uint8_t>(pid);
    p[3] = static_cast<std::uint8_t>(0x10 | (pid == kNull ? 0 : cc[pid]++ & 0x0F));
    if (pid == 0) {
      std::vector<std::uint8_t> pat = {0x00, 0, 0, 0x00, 0x01, 0xC1, 0, 0, 0x00, 0x01, 0xE0 | (kPmt >> 8), kPmt & 0xFF};
      if (m.twoPrograms) pat.insert(pat.end(), {0x00, 0x02, 0xE0 | (kPmt2 >> 8), kPmt2 & 0xFF});
      putSection(p, pat);
    } else if (pid == kPmt2) {
      putSection(p, {0x02, 0, 0, 0x00, 0x02, 0xC1, 0, 0, 0xE0 | (kVideo2 >> 8), kVideo2 & 0xFF, 0xF0, 0x00,
                     0x02, 0xE0 | (kVideo2 >> 8), kVideo2 & 0xFF, 0xF0, 0x00});
    } else if (pid == kVideo2 && i % 20 == 3) {
      // An hour ahead of the first program's clock.
      teststreams::putPcr(p.data(), (static_cast<std::uint64_t>(i) + 3'600'000) * 27'000);
    } else if (pid == kPmt) {
      putSection(p, {0x02, 0, 0, 0x00, 0x01, 0xC1, 0, 0, 0xE0 | (kVideo >> 8), kVideo & 0xFF, 0xF0, 0x00,
                     0x02, 0xE0 | (kVideo >> 8), kVideo & 0xFF, 0xF0, 0x00,
                     0x03, 0xE0 | (kAudio >> 8), kAudio & 0xFF, 0xF0, 0x00});
    } else if (pid == kVideo && m.pcr && i % m.pcrEvery == 2 && !m.noPcr.has(i)) {
      const std::uint64_t base = static_cast<std::uint64_t>(i) * 90;  // 1 ms in 90 kHz units
      p[3] |= 0x20;
      p[4] = 7;
      p[5] = 0x10;
      p[6] = static_cast<std::uint8_t>(base >> 25);
      p[7] = static_cast<std::uint8_t>(base >> 17);
      p[8] = static_cast<std::uint8_t>(base >> 9);
      p[9] = static_cast<std::uint8_t>(base >> 1);
      p[10] = static_cast<std::uint8_t>(((base & 1) << 7) | 0x7E);
      p[11] = 0;
    } else if (pid != kNull) {
      for (std::size_t j = 4; j < p.size(); ++j) p[j] = static_cast<std::uint8_t>(i + j);
    }
    out.push_back(p);
  }
  return out;
}

// The null packets of every other 20-ms stretch taken out: the rate between
// PCRs alternates, 20 packets and 15.
inline std::vector<Packet> variableRate(const std::vector<Packet>& packets) {
  std::vector<Packet> kept;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    if (pidOf(packets[i]) != kNull || (i / 20) % 2 == 0) kept.push_back(packets[i]);
  }
  return kept;
}

inline std::vector<std::uint8_t> bytes(const std::vector<Packet>& packets) {
  std::vector<std::uint8_t> out;
  for (const auto& p : packets) out.insert(out.end(), p.begin(), p.end());
  return out;
}

using Datagram = std::vector<std::uint8_t>;

// 12-byte version-2 RTP headers before every 7 packets, numbered from `firstSeq`.
inline std::vector<Datagram> datagrams(const std::vector<Packet>& packets, unsigned firstSeq = 0) {
  std::vector<Datagram> out;
  for (std::size_t first = 0, seq = firstSeq; first < packets.size(); first += 7, ++seq) {
    Datagram d = {0x80, 33, static_cast<std::uint8_t>(seq >> 8), static_cast<std::uint8_t>(seq),
                  0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78};
    for (std::size_t i = first; i < std::min(first + 7, packets.size()); ++i) {
      d.insert(d.end(), packets[i].begin(), packets[i].end());
    }
    out.push_back(std::move(d));
  }
  return out;
}

inline std::vector<std::uint8_t> join(const std::vector<Datagram>& datagrams) {
  std::vector<std::uint8_t> out;
  for (const auto& d : datagrams) out.insert(out.end(), d.begin(), d.end());
  return out;
}

// RTP-wrapped; datagram `drop` is left out.
inline std::vector<std::uint8_t> rtpWrap(const std::vector<Packet>& packets, long drop = -1) {
  auto d = datagrams(packets);
  if (drop >= 0) d.erase(d.begin() + drop);
  return join(d);
}

// Feeds the data in growing pieces, so packets and headers straddle every boundary.
inline InspectReport inspect(const std::vector<std::uint8_t>& data, std::vector<std::uint8_t>* stripped = nullptr) {
  Inspector inspector;
  if (stripped) inspector.setPacketSink([&](const std::uint8_t* p) { stripped->insert(stripped->end(), p, p + 188); });
  teststreams::feedInPieces(inspector, data);
  return inspector.finish();
}

struct Counts {
  std::uint64_t syncByte, syncLoss, pat, cc, pmt, pid, crc, pcrRepetition, rtpGaps, pcrAccuracy;
};

inline Counts counts(const InspectReport& r) {
  return {r.syncByteErrors, r.tsSyncLoss, r.patErrors, r.ccErrors, r.pmtErrors,
          r.pidErrors,      r.crcErrors,  r.pcrRepetitionErrors, r.rtpGaps, r.pcrAccuracyErrors};
}

inline std::string show(const Counts& c) {
  return "sync_byte " + std::to_string(c.syncByte) + ", sync_loss " + std::to_string(c.syncLoss) + ", pat " +
         std::to_string(c.pat) + ", cc " + std::to_string(c.cc) + ", pmt " + std::to_string(c.pmt) + ", pid " +
         std::to_string(c.pid) + ", crc " + std::to_string(c.crc) + ", pcr_repetition " +
         std::to_string(c.pcrRepetition) + ", rtp_gaps " + std::to_string(c.rtpGaps) + ", pcr_accuracy " +
         std::to_string(c.pcrAccuracy);
}

inline void setCc(Packet& p, unsigned cc) { p[3] = static_cast<std::uint8_t>((p[3] & 0xF0) | (cc & 0x0F)); }

}  // namespace pelorin::tools::inspecttest
