#include "InspectMux.h"

#include <gtest/gtest.h>

using namespace pelorin::tools;
using namespace pelorin::tools::inspecttest;

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
  const auto nulls = [&](std::ptrdiff_t at, std::size_t n) {
    return plain([=](auto& p) {
      Packet null{};
      null[0] = 0x47;
      null[1] = 0x1F;
      null[2] = 0xFF;
      null[3] = 0x10;
      p.insert(p.begin() + at, n, null);
    });
  };

  const std::vector<Case> cases = {
      {"clean", {}, none, {}},
      {"video packet removed", {}, plain([](auto& p) { p.erase(p.begin() + 1005); }), {0, 0, 0, 1, 0, 0, 0, 0, 0, 0}},
      {"sync byte changed", {}, plain([](auto& p) { p[1005][0] = 0x46; }), {1, 0, 0, 1, 0, 0, 0, 0, 0, 0}},
      // Two in a row lose the framing; both packets are lost to the resync.
      {"two sync bytes changed", {}, plain([](auto& p) { p[1005][0] = p[1006][0] = 0x00; }),
       {2, 1, 0, 1, 0, 0, 0, 0, 0, 0}},
      {"garbage before the stream", {}, [](std::vector<Packet> p) {
         auto b = bytes(p);
         b.insert(b.begin(), 100, 0x47);
         return b;
       },
       {0, 1, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"PAT CRC broken", {}, plain([](auto& p) { p[1000][20] ^= 1; }), {0, 0, 0, 0, 0, 0, 1, 0, 0, 0}},
      {"PMT CRC broken", {}, plain([](auto& p) { p[1001][30] ^= 1; }), {0, 0, 0, 0, 0, 0, 1, 0, 0, 0}},
      {"PAT absent 0.8 s", with([](Mux& m) { m.noPat = {1000, 1700}; }), none, {0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
      {"PATs 0.5 s apart are in time", with([](Mux& m) { m.noPat = {1000, 1400}; }), none, {}},
      {"PMT absent 0.8 s", with([](Mux& m) { m.noPmt = {1000, 1700}; }), none, {0, 0, 0, 0, 1, 0, 0, 0, 0, 0}},
      {"audio absent 6 s", with([](Mux& m) {
         m.ms = 9000;
         m.noAudio = {1000, 7000};
       }), none, {0, 0, 0, 0, 0, 1, 0, 0, 0, 0}},
      {"audio absent 4 s", with([](Mux& m) {
         m.ms = 9000;
         m.noAudio = {1000, 5000};
       }), none, {}},
      {"PCRs absent 80 ms", with([](Mux& m) { m.noPcr = {1000, 1060}; }), none, {0, 0, 0, 0, 0, 0, 0, 1, 0, 0}},
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
       none, {0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
      {"PCRs absent 520 ms, PAT and PMT every 0.1 s", with([](Mux& m) { m.noPcr = {1000, 1500}; }), none,
       {0, 0, 0, 0, 0, 0, 0, 1, 0, 0}},
      {"the PCR's PID stops at 5 s", with([](Mux& m) {
         m.ms = 11000;
         m.noVideo = {5000, 11000};
       }),
       none, {0, 0, 0, 0, 0, 1, 0, 0, 0, 0}},
      {"the PCR's PID stops at 5 s, PAT and PMT at 6 s", with([](Mux& m) {
         m.ms = 11000;
         m.noVideo = {5000, 11000};
         m.noPat = m.noPmt = {6000, 11000};
       }),
       none, {0, 0, 1, 0, 1, 1, 0, 0, 0, 0}},
      {"two programs, the first clock's PID stops, then a PAT gap", with([](Mux& m) {
         m.ms = 11000;
         m.twoPrograms = true;
         m.noVideo = {5000, 11000};
         m.noPat = {7000, 7800};
       }),
       none, {0, 0, 1, 0, 0, 1, 0, 0, 0, 0}},
      // However many null packets lie between two PCRs, the bytes are placed by
      // interpolation: never a PAT, PMT or PID error. On this constant-rate
      // multiplex the PCR after them is off by their time (100 ms or more): one
      // PCR_accuracy_error, and the ones after it are in line again.
      {"100 null packets between two PCRs", {}, nulls(1005, 100), {0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
      {"1000 null packets between two PCRs", {}, nulls(1003, 1000), {0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
      {"3000 null packets between two PCRs", {}, nulls(1003, 3000), {0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
      // Limit 500 ns: 13.5 ticks, and 2 of rounding. The PCR at 1502 ms moved by 1 us
      // is one error (the next one, in line with those before it, is not).
      {"a PCR 10 ticks late", {}, plain([](auto& p) { p[1502][11] = 10; }), {}},
      {"a PCR 1 us late", {}, plain([](auto& p) { p[1502][11] = 27; }), {0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
      // Rates alternating between PCRs: not judged, so nothing counted.
      {"variable rate: every other PCR interval without its null packets", {}, plain([](auto& p) {
         p = variableRate(p);
       }),
       {}},
      // One stretch of 8 s between two PCRs holds two PAT silences, of 1.1 s and 2 s.
      {"PCRs absent 8 s, two PAT silences in it", with([](Mux& m) {
         m.ms = 12000;
         m.noPcr = {1000, 9000};
         m.noPat = {2000, 5000};
         m.extraPat = 3000;
       }),
       none, {0, 0, 2, 0, 0, 0, 0, 1, 0, 0}},
      {"PCRs absent 11 s while their PID goes on", with([](Mux& m) {
         m.ms = 14000;
         m.noPcr = {1000, 12000};
       }),
       none, {0, 0, 0, 0, 0, 0, 0, 1, 0, 0}},
      {"a packet duplicated once", {}, plain([](auto& p) { p.insert(p.begin() + 1005, p[1005]); }), {}},
      {"a packet three times", {}, plain([](auto& p) { p.insert(p.begin() + 1005, 2, p[1005]); }),
       {0, 0, 0, 1, 0, 0, 0, 0, 0, 0}},
      {"adaptation-only packet keeps its counter", {}, plain([](auto& p) {
         Packet a = p[1005];
         a[3] = static_cast<std::uint8_t>(0x20 | (a[3] & 0x0F));
         a[4] = 183;
         a[5] = 0;
         p.insert(p.begin() + 1006, a);
       }),
       // One packet more between two PCRs: the next one is 1 ms off its position.
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
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
       {0, 0, 0, 1, 0, 0, 0, 0, 0, 0}},
      {"null packets' counters are not checked", {}, plain([](auto& p) {
         for (std::size_t i = 0; i < p.size(); ++i)
           if (pidOf(p[i]) == kNull) setCc(p[i], static_cast<unsigned>(i * 7));
       }),
       {}},
      {"no PCR and no PAT at all", with([](Mux& m) {
         m.pcr = false;
         m.noPat = {0, 3000};
       }), none, {0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
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
       {2, 1, 0, 1, 0, 0, 0, 0, 0, 0}},
      {"RTP-wrapped", {}, [](std::vector<Packet> p) { return rtpWrap(p); }, {}},
      // Datagram 150 holds packets 1050..1056: video and audio, no PCR, no tables.
      {"RTP datagram removed", {}, [](std::vector<Packet> p) { return rtpWrap(p, 150); }, {0, 0, 0, 2, 0, 0, 0, 0, 1, 0}},
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
       {1, 0, 0, 1, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const InspectReport r = inspect(c.inject(build(c.mux)));
    EXPECT_EQ(show(counts(r)), show(c.want)) << c.name;
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
                          "\"8191\":{", "\"pcr_accuracy_errors\":0", "\"pcr_accuracy_judged\":139"}) {
    EXPECT_NE(json.find(key), std::string::npos) << key << " in " << json;
  }
  // PCRs at 2, 22, ... 2982 ms: the first 11 make the line, the other 139 are judged.
  // At a variable rate none is, and the report says so.
  const InspectReport vbr = inspect(bytes(variableRate(build({}))));
  EXPECT_NE(toJson(vbr).find("\"pcr_accuracy_judged\":0,"), std::string::npos);
  EXPECT_NE(toText(vbr).find("PCR_accuracy_error not judged"), std::string::npos);
}
