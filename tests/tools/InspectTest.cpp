#include "Inspect.h"
#include "InspectOutput.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "StreamPattern.h"
#include "TsStreams.h"

using namespace pelorin::tools;

namespace {

using Packet = std::array<std::uint8_t, 188>;

constexpr std::uint16_t kPmt = 0x100;
constexpr std::uint16_t kVideo = 0x101;  // carries the PCR
constexpr std::uint16_t kAudio = 0x102;
constexpr std::uint16_t kNull = 0x1FFF;
constexpr std::uint16_t kPmt2 = 0x200;    // a second program's PMT,
constexpr std::uint16_t kVideo2 = 0x201;  // and its video, with a PCR of its own time base

std::uint16_t pidOf(const Packet& p) { return static_cast<std::uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }

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

void putSection(Packet& p, std::vector<std::uint8_t> s) {
  s[1] = static_cast<std::uint8_t>(0xB0 | ((s.size() + 1) >> 8));  // section_length: what follows, CRC included
  s[2] = static_cast<std::uint8_t>(s.size() + 1);
  const std::uint32_t crc = crc32Mpeg(s.data(), s.size());
  for (int shift : {24, 16, 8, 0}) s.push_back(static_cast<std::uint8_t>(crc >> shift));
  p[4] = 0;  // pointer_field
  std::copy(s.begin(), s.end(), p.begin() + 5);
}

Mux with(const std::function<void(Mux&)>& edit) {
  Mux m;
  edit(m);
  return m;
}

std::vector<Packet> build(const Mux& m) {
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

std::vector<std::uint8_t> bytes(const std::vector<Packet>& packets) {
  std::vector<std::uint8_t> out;
  for (const auto& p : packets) out.insert(out.end(), p.begin(), p.end());
  return out;
}

using Datagram = std::vector<std::uint8_t>;

// 12-byte version-2 RTP headers before every 7 packets, numbered from `firstSeq`.
std::vector<Datagram> datagrams(const std::vector<Packet>& packets, unsigned firstSeq = 0) {
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

std::vector<std::uint8_t> join(const std::vector<Datagram>& datagrams) {
  std::vector<std::uint8_t> out;
  for (const auto& d : datagrams) out.insert(out.end(), d.begin(), d.end());
  return out;
}

// RTP-wrapped; datagram `drop` is left out.
std::vector<std::uint8_t> rtpWrap(const std::vector<Packet>& packets, long drop = -1) {
  auto d = datagrams(packets);
  if (drop >= 0) d.erase(d.begin() + drop);
  return join(d);
}

// Feeds the data in growing pieces, so packets and headers straddle every boundary.
InspectReport inspect(const std::vector<std::uint8_t>& data, std::vector<std::uint8_t>* stripped = nullptr) {
  Inspector inspector;
  if (stripped) inspector.setPacketSink([&](const std::uint8_t* p) { stripped->insert(stripped->end(), p, p + 188); });
  teststreams::feedInPieces(inspector, data);
  return inspector.finish();
}

struct Counts {
  std::uint64_t syncByte, syncLoss, pat, cc, pmt, pid, crc, pcrRepetition, rtpGaps;
};

Counts counts(const InspectReport& r) {
  return {r.syncByteErrors, r.tsSyncLoss, r.patErrors, r.ccErrors, r.pmtErrors,
          r.pidErrors,      r.crcErrors,  r.pcrRepetitionErrors, r.rtpGaps};
}

std::string show(const Counts& c) {
  return "sync_byte " + std::to_string(c.syncByte) + ", sync_loss " + std::to_string(c.syncLoss) + ", pat " +
         std::to_string(c.pat) + ", cc " + std::to_string(c.cc) + ", pmt " + std::to_string(c.pmt) + ", pid " +
         std::to_string(c.pid) + ", crc " + std::to_string(c.crc) + ", pcr_repetition " +
         std::to_string(c.pcrRepetition) + ", rtp_gaps " + std::to_string(c.rtpGaps);
}

void setCc(Packet& p, unsigned cc) { p[3] = static_cast<std::uint8_t>((p[3] & 0xF0) | (cc & 0x0F)); }

}  // namespace

TEST(Inspect, EachFaultOnceGivesExactCounts) {
  struct Case {
    const char* name;
    Mux mux;
    std::function<std::vector<std::uint8_t>(std::vector<Packet>)> inject;
    Counts want;
  };
  auto plain = [](auto edit) {
    return [edit](std::vector<Packet> p) {
      edit(p);
      return bytes(p);
    };
  };
  const auto none = plain([](std::vector<Packet>&) {});

  const std::vector<Case> cases = {
      {"clean", {}, none, {}},
      {"video packet removed", {}, plain([](auto& p) { p.erase(p.begin() + 1005); }), {0, 0, 0, 1, 0, 0, 0, 0, 0}},
      {"sync byte changed", {}, plain([](auto& p) { p[1005][0] = 0x46; }), {1, 0, 0, 1, 0, 0, 0, 0, 0}},
      // Two in a row lose the framing; both packets are lost to the resync.
      {"two sync bytes changed", {}, plain([](auto& p) { p[1005][0] = p[1006][0] = 0x00; }),
       {2, 1, 0, 1, 0, 0, 0, 0, 0}},
      {"garbage before the stream", {}, [](std::vector<Packet> p) {
         auto b = bytes(p);
         b.insert(b.begin(), 100, 0x47);
         return b;
       },
       {0, 1, 0, 0, 0, 0, 0, 0, 0}},
      {"PAT CRC broken", {}, plain([](auto& p) { p[1000][20] ^= 1; }), {0, 0, 0, 0, 0, 0, 1, 0, 0}},
      {"PMT CRC broken", {}, plain([](auto& p) { p[1001][30] ^= 1; }), {0, 0, 0, 0, 0, 0, 1, 0, 0}},
      {"PAT absent 0.8 s", with([](Mux& m) { m.noPat = {1000, 1700}; }), none, {0, 0, 1, 0, 0, 0, 0, 0, 0}},
      {"PATs 0.5 s apart are in time", with([](Mux& m) { m.noPat = {1000, 1400}; }), none, {}},
      {"PMT absent 0.8 s", with([](Mux& m) { m.noPmt = {1000, 1700}; }), none, {0, 0, 0, 0, 1, 0, 0, 0, 0}},
      {"audio absent 6 s", with([](Mux& m) {
         m.ms = 9000;
         m.noAudio = {1000, 7000};
       }), none, {0, 0, 0, 0, 0, 1, 0, 0, 0}},
      {"audio absent 4 s", with([](Mux& m) {
         m.ms = 9000;
         m.noAudio = {1000, 5000};
       }), none, {}},
      {"PCRs absent 80 ms", with([](Mux& m) { m.noPcr = {1000, 1060}; }), none, {0, 0, 0, 0, 0, 0, 0, 1, 0}},
      // Gaps measured on the clock between PCRs, not from the PCR before each packet.
      {"PAT gap of 0.49 s, PCRs 40 ms apart", with([](Mux& m) {
         m.pcrEvery = 40;
         m.noPat = {1100, 1500};
         m.extraPat = 1490;
       }),
       none, {}},
      {"PAT gap of 0.51 s, PCRs 40 ms apart", with([](Mux& m) {
         m.pcrEvery = 40;
         m.noPat = {1100, 1600};
         m.extraPat = 1510;
       }),
       none, {0, 0, 1, 0, 0, 0, 0, 0, 0}},
      {"PCRs absent 520 ms, PAT and PMT every 0.1 s", with([](Mux& m) { m.noPcr = {1000, 1500}; }), none,
       {0, 0, 0, 0, 0, 0, 0, 1, 0}},
      {"the PCR's PID stops at 5 s", with([](Mux& m) {
         m.ms = 11000;
         m.noVideo = {5000, 11000};
       }),
       none, {0, 0, 0, 0, 0, 1, 0, 0, 0}},
      {"the PCR's PID stops at 5 s, PAT and PMT at 6 s", with([](Mux& m) {
         m.ms = 11000;
         m.noVideo = {5000, 11000};
         m.noPat = m.noPmt = {6000, 11000};
       }),
       none, {0, 0, 1, 0, 1, 1, 0, 0, 0}},
      {"two programs, the first clock's PID stops, then a PAT gap", with([](Mux& m) {
         m.ms = 11000;
         m.twoPrograms = true;
         m.noVideo = {5000, 11000};
         m.noPat = {7000, 7800};
       }),
       none, {0, 0, 1, 0, 0, 1, 0, 0, 0}},
      // The rate between these two PCRs is six times the last pair's: still in time.
      {"100 null packets between two PCRs", {}, plain([](auto& p) {
         Packet null{};
         null[0] = 0x47;
         null[1] = 0x1F;
         null[2] = 0xFF;
         null[3] = 0x10;
         p.insert(p.begin() + 1005, 100, null);
       }),
       {}},
      {"a packet duplicated once", {}, plain([](auto& p) { p.insert(p.begin() + 1005, p[1005]); }), {}},
      {"a packet three times", {}, plain([](auto& p) { p.insert(p.begin() + 1005, 2, p[1005]); }),
       {0, 0, 0, 1, 0, 0, 0, 0, 0}},
      {"adaptation-only packet keeps its counter", {}, plain([](auto& p) {
         Packet a = p[1005];
         a[3] = static_cast<std::uint8_t>(0x20 | (a[3] & 0x0F));
         a[4] = 183;
         a[5] = 0;
         p.insert(p.begin() + 1006, a);
       }),
       {}},
      {"counter jump flagged as a discontinuity", {}, plain([](auto& p) {
         for (std::size_t i = 1002; i < p.size(); ++i)
           if (pidOf(p[i]) == kVideo) setCc(p[i], p[i][3] + 5);
         p[1002][5] |= 0x80;
       }),
       {}},
      {"counter jump without the flag", {}, plain([](auto& p) {
         for (std::size_t i = 1002; i < p.size(); ++i)
           if (pidOf(p[i]) == kVideo) setCc(p[i], p[i][3] + 5);
       }),
       {0, 0, 0, 1, 0, 0, 0, 0, 0}},
      {"null packets' counters are not checked", {}, plain([](auto& p) {
         for (std::size_t i = 0; i < p.size(); ++i)
           if (pidOf(p[i]) == kNull) setCc(p[i], static_cast<unsigned>(i * 7));
       }),
       {}},
      {"no PCR and no PAT at all", with([](Mux& m) {
         m.pcr = false;
         m.noPat = {0, 3000};
       }), none, {0, 0, 1, 0, 0, 0, 0, 0, 0}},
      // As 188 + 16 bytes of parity: the framing comes back after the loss.
      {"two sync bytes changed, 204-byte packets", {}, [](std::vector<Packet> p) {
         p[1005][0] = p[1006][0] = 0x00;
         std::vector<std::uint8_t> b;
         for (const Packet& packet : p) {
           b.insert(b.end(), packet.begin(), packet.end());
           b.insert(b.end(), 16, 0x5A);
         }
         return b;
       },
       {2, 1, 0, 1, 0, 0, 0, 0, 0}},
      {"RTP-wrapped", {}, [](std::vector<Packet> p) { return rtpWrap(p); }, {}},
      // Datagram 150 holds packets 1050..1056: video and audio, no PCR, no tables.
      {"RTP datagram removed", {}, [](std::vector<Packet> p) { return rtpWrap(p, 150); }, {0, 0, 0, 2, 0, 0, 0, 0, 1}},
      {"RTP header's SSRC damaged", {}, [](std::vector<Packet> p) {
         auto b = rtpWrap(p);
         b[150 * (12 + 7 * 188) + 8] ^= 0xFF;
         return b;
       },
       {}},
      {"RTP datagram with a bad sync byte", {}, [](std::vector<Packet> p) {
         p[1053][0] = 0x46;
         return rtpWrap(p);
       },
       {1, 0, 0, 1, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const InspectReport r = inspect(c.inject(build(c.mux)));
    EXPECT_EQ(show(counts(r)), show(c.want)) << c.name;
  }
}

TEST(Inspect, ClockRtpAndStrippingOnACleanStream) {
  const auto packets = build({});
  const auto plain = bytes(packets);
  InspectReport r = inspect(plain);
  EXPECT_TRUE(r.priority1Ok());
  EXPECT_FALSE(r.rtp);
  EXPECT_EQ(r.packets, 3000u);
  EXPECT_EQ(r.pcrPid, kVideo);
  // PCRs from 2 ms to 2982 ms; 188 bytes a millisecond.
  ASSERT_TRUE(r.durationSeconds && r.bitrateBps);
  EXPECT_DOUBLE_EQ(*r.durationSeconds, 2.98);
  EXPECT_NEAR(*r.bitrateBps, 188 * 8 * 1000, 1e-6);
  ASSERT_EQ(r.pids.size(), 5u);
  EXPECT_EQ(r.pids[0].pid, 0);
  EXPECT_EQ(r.pids[0].packets, 30u);
  EXPECT_NEAR(*r.pids[0].bitrateBps, 188 * 8 * 10, 1e-6);

  std::vector<std::uint8_t> stripped;
  r = inspect(rtpWrap(packets, 7), &stripped);
  EXPECT_TRUE(r.rtp);
  EXPECT_EQ(r.rtpDatagrams, 428u);
  EXPECT_EQ(r.rtpLost, 1u);
  EXPECT_EQ(stripped.size(), plain.size() - 7 * 188);
  stripped.clear();
  inspect(rtpWrap(packets), &stripped);
  EXPECT_TRUE(stripped == plain);

  // Without a clock nothing is timed, and the report says so.
  r = inspect(bytes(build(with([](Mux& m) { m.pcr = false; }))));
  EXPECT_TRUE(r.priority1Ok());
  EXPECT_FALSE(r.pcrPid);
  EXPECT_FALSE(r.durationSeconds);
  EXPECT_NE(toText(r).find("no PCR"), std::string::npos);
  EXPECT_NE(toJson(r).find("\"duration_s\":null"), std::string::npos);
}

// Loss is datagrams expected minus received; one that comes late is
// reordered, not lost, and a jump it fills is no gap.
TEST(Inspect, RtpLossIsExpectedMinusReceived) {
  struct Case {
    const char* name;
    unsigned firstSeq;
    std::function<void(std::vector<Datagram>&)> edit;
    std::uint64_t datagrams, gaps, lost, reordered;
  };
  const auto swap = [](std::vector<Datagram>& d, std::size_t i) { std::swap(d[i], d[i + 1]); };
  const std::vector<Case> cases = {
      {"in order", 0, [](auto&) {}, 429, 0, 0, 0},
      {"a swapped pair and a duplicate", 0, [&](auto& d) {
         swap(d, 100);
         d.insert(d.begin() + 200, d[200]);
       },
       430, 0, 0, 1},
      {"three in a row lost", 0, [](auto& d) { d.erase(d.begin() + 100, d.begin() + 103); }, 426, 1, 3, 0},
      {"one lost, one three places late", 0, [](auto& d) {
         d.erase(d.begin() + 100);
         d.insert(d.begin() + 203, d[199]);
         d.erase(d.begin() + 199);
       },
       428, 1, 1, 1},
      {"a swapped pair across the wrap", 65500, [&](auto& d) { swap(d, 35); }, 429, 0, 0, 1},
  };
  for (const auto& c : cases) {
    auto d = datagrams(build({}), c.firstSeq);
    c.edit(d);
    const InspectReport r = inspect(join(d));
    EXPECT_EQ(r.rtpDatagrams, c.datagrams) << c.name;
    EXPECT_EQ(r.rtpGaps, c.gaps) << c.name;
    EXPECT_EQ(r.rtpLost, c.lost) << c.name;
    EXPECT_EQ(r.rtpReordered, c.reordered) << c.name;
  }
}

TEST(Inspect, ClockGoesOnWhenItsPidStops) {
  struct Case {
    const char* name;
    Mux mux;
    std::vector<ClockHandOver> handOvers;
    double estimated;
    double duration;
  };
  auto stops = [](bool twoPrograms) {
    return with([=](Mux& m) {
      m.ms = 11000;
      m.twoPrograms = twoPrograms;
      m.noVideo = {5000, 11000};
    });
  };
  const std::vector<Case> cases = {
      // Its last PCR at 4982 ms, the file's end at 11000 ms, all by the last rate.
      {"alone", stops(false), {}, 6.018, 10.998},
      // The other program's PCRs were placed on the clock while both ran; its
      // first PCR more than 0.5 s after the last one of the clock's PID takes over.
      {"beside another program", stops(true), {{kVideo2, 5.481}}, 0, 10.981},
  };
  for (const auto& c : cases) {
    const InspectReport r = inspect(bytes(build(c.mux)));
    EXPECT_EQ(r.pcrPid, kVideo) << c.name;
    ASSERT_EQ(r.clockHandOvers.size(), c.handOvers.size()) << c.name;
    for (std::size_t i = 0; i < c.handOvers.size(); ++i) {
      EXPECT_EQ(r.clockHandOvers[i].pid, c.handOvers[i].pid) << c.name;
      EXPECT_NEAR(r.clockHandOvers[i].atSeconds, c.handOvers[i].atSeconds, 1e-6) << c.name;
    }
    ASSERT_TRUE(r.estimatedSeconds && r.durationSeconds && r.bitrateBps) << c.name;
    EXPECT_NEAR(*r.estimatedSeconds, c.estimated, 1e-6) << c.name;
    EXPECT_NEAR(*r.durationSeconds, c.duration, 1e-6) << c.name;
    EXPECT_NEAR(*r.bitrateBps, 188 * 8 * 1000, 1) << c.name;
    EXPECT_EQ(toText(r).find("clock estimated") != std::string::npos, c.estimated > 0) << c.name;
  }
}

TEST(Inspect, EdgesOfTheInput) {
  // No packet at all: no priority-1 error counted, and still not a clean stream.
  auto r = inspect({});
  EXPECT_TRUE(r.priority1Ok());
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.packets, 0u);
  EXPECT_NE(toText(r).find("ERRORS: no transport stream packets"), std::string::npos);

  // A stream cut mid-packet: the whole packets are read, the rest reported.
  auto data = bytes(build({}));
  data.resize(data.size() - 100);
  r = inspect(data);
  EXPECT_EQ(r.packets, 2999u);
  EXPECT_EQ(r.trailingBytes, 88u);
  EXPECT_TRUE(r.priority1Ok());

  // Nothing but noise: never in sync is a sync loss, not a clean stream.
  r = inspect(std::vector<std::uint8_t>(5000, 0x00));
  EXPECT_EQ(r.tsSyncLoss, 1u);
  EXPECT_EQ(r.skippedBytes, 5000u);
  EXPECT_FALSE(r.priority1Ok());

  // Three packets only: short of five, but they run exactly to the end.
  r = inspect(std::vector<std::uint8_t>(data.begin(), data.begin() + 3 * 188));
  EXPECT_EQ(r.packets, 3u);
  EXPECT_EQ(r.tsSyncLoss, 0u);
}

TEST(Inspect, JsonCarriesEveryKey) {
  const std::string json = toJson(inspect(bytes(build({}))));
  for (const char* key : {"\"packets\":3000", "\"sync_byte_errors\":0", "\"ts_sync_loss\":0", "\"cc_errors\":0",
                          "\"pat_errors\":0", "\"pmt_errors\":0", "\"pid_errors\":0", "\"crc_errors\":0",
                          "\"pcr_repetition_errors\":0", "\"rtp\":false", "\"rtp_gaps\":0", "\"reordered\":0", "\"clock_pids\":[257]",
                          "\"clock_estimated_s\":0.000000", "\"duration_s\":2.980000",
                          "\"bitrate_bps\":1504000", "\"pids\":{\"0\":{\"packets\":30,\"cc_errors\":0,\"bitrate_bps\":15040}",
                          "\"8191\":{"}) {
    EXPECT_NE(json.find(key), std::string::npos) << key << " in " << json;
  }
}
