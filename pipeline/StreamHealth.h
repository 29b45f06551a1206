// How the network delivered the stream: per-second figures (datagrams, bytes,
// largest inter-arrival time, RFC 4445 delay factor and media loss rate), the
// outages, and the host's own drops. Single-threaded: one owner feeds the
// datagrams in arrival order and reads the figures.
//
// All times are nanoseconds on one monotonic scale; 0 of that scale is
// arbitrary. Second t of a period is [start + t s, start + (t + 1) s).
//
// Choices behind the figures:
// - Only transport-stream bytes count for the delay factor and its rate (an
//   RTP header is not media); "bytes" counts whole payloads, as in the file.
// - The media rate MR comes from MediaRate: configured, else the clock's
//   PCRs over a window of seconds, else the rate measured over the same
//   window's time with arrivals. A PCR pair spanning a discontinuity, a loss
//   or a reordering is not used.
// - The delay factor is computed when its second closes, from the first and
//   the last arrival in each 50-us slot of the second, so the rate may be
//   one learnt during that second. It can read low by at most two slots
//   (0.1 ms), never high.
// - MLR is TS packets lost: from each PID's continuity counter for plain TS,
//   judged over a re-sequencing window (TsLossWindow), so that a datagram
//   that comes late fills its gap; from the RTP sequence numbers (times the
//   TS packets of the datagram) once the stream is RTP. A gap's loss counts
//   in the second it opened in.
// - An exact copy of a recent datagram (plain TS), or an RTP sequence number
//   seen before, is a duplicate: it counts in datagrams and bytes, as the
//   file holds it, but not as media and not in the continuity.
// - Bursts: the continuity counter shows at most 15 packets of a burst. Where
//   two PCRs of the clock span a loss or a silence while the clock ran on
//   (their difference matches the time between their arrivals), the packets
//   lost are estimated from the rate and the bytes missing; what exceeds the
//   counters' count is the estimate, kept apart from the counted loss.
// - Host drops: each datagram the system dropped at the socket is a datagram
//   of the stream missing, its mean count of TS packets each. For plain TS,
//   what the counters and the clock did not already find of them (within
//   3 s either way) is added to the estimate, in the second whose
//   drops were noted; the RTP sequence numbers count every one already.
// - Worst DF and worst MLR are each the largest of the period's seconds,
//   not necessarily of one second.
#pragma once

#include "pipeline/MediaRate.h"
#include "stream/DuplicateWindow.h"
#include "stream/RtpSequence.h"
#include "stream/TsLossWindow.h"

#include <cstdint>
#include <optional>
#include <vector>

// IAT histogram: bucket 0 is < 1 us, bucket k is [2^(k-1), 2^k) us; the last
// one also takes anything longer.
constexpr int kIatBuckets = 33;

struct HealthInterval {        // one second of the recording, counted from the start of receiving
    std::int64_t t;            // whole seconds since the start of receiving
    std::uint64_t offset;      // file offset of this second's first datagram (of the next datagram if none)
    std::uint64_t datagrams, bytes;
    std::uint32_t iatMaxUs;    // largest inter-arrival time ending in this second
    double dfMs;               // RFC 4445 delay factor over this second
    std::uint64_t mlr;         // TS packets lost in this second
    std::uint64_t lostEstimated;  // mlr plus the estimate of a burst's packets the counters missed
    std::int64_t hostDrops;    // kernel drops attributed to this second, -1 when unknown
};

struct HealthOutage {          // at least one second without a datagram
    std::int64_t startNs, endNs;
    std::uint64_t offset;      // where data resumed (the file size at the end if it never did)
    // Across a cut between periods (segments) an outage is in both, clipped
    // to each: it goes on in the next period, or it began in the previous one.
    bool continuing = false, continued = false;
};

// The figures that only grow over a whole run, every period so far included.
struct HealthRunTotals {
    std::uint64_t tsPacketsLost = 0;
    std::uint64_t tsPacketsLostEstimated = 0;  // tsPacketsLost plus what the clock says went missing
    std::uint64_t rtpPacketsLost = 0;
    std::uint64_t outages = 0;  // closed ones
    std::int64_t outageNs = 0;
};

class StreamHealth {
public:
    StreamHealth();

    // The media rate to use for the delay factor, TS bytes per second; 0 to
    // take it from the stream. Kept across Start.
    void ConfigureMediaRate(double bytesPerSecond) { mediaRate.Configure(bytesPerSecond); }

    // The start of receiving: t = 0. Forgets everything, stream state included.
    void Start(std::int64_t startNs);
    // One datagram in arrival order: its payload (RTP-wrapped TS, plain TS,
    // or anything), its arrival time and the file offset of its first byte.
    // Arrivals before the start count in second 0; one earlier than a second
    // already closed counts in the open one.
    void AddDatagram(const std::uint8_t* payload, std::uint32_t size, std::int64_t arrivalNs,
                     std::uint64_t fileOffset);
    // The kernel's cumulative drop count as read at `atNs`. The increase since
    // the previous call (the first: since 0) lands in the second of `atNs`.
    void NoteHostDrops(std::uint64_t cumulative, std::int64_t atNs);
    // Closes every second that ends at or before `nowNs`, so that the status
    // line moves on during an outage. Datagrams arriving later with earlier
    // times then count in the open second: pass a time that no later arrival
    // precedes (the arrival time of the last datagram given, or now minus the
    // queueing delay), or do not call it.
    void Advance(std::int64_t nowNs);
    // Closes the last second and any outage running at the end (endNs: the end
    // of receiving, fileSize: bytes in the file). Nothing is added after it.
    void Finish(std::int64_t endNs, std::uint64_t fileSize);
    // The same at a segment cut, the stream going on: gaps in the loss window
    // stay open for late datagrams and are judged into the next period.
    void FinishPeriod(std::int64_t endNs, std::uint64_t fileSize);
    // A new report period (a new output segment), after Finish of the previous
    // one: figures and seconds restart with t = 0 at startNs and offsets from
    // 0, while continuity, RTP, PCR and host-drop state carry over so that a
    // loss across the cut is still found.
    void StartPeriod(std::int64_t startNs);

    // Outages across a cut between periods. The last arrival of the stream,
    // whichever period it was in; false before the first.
    bool LastArrival(std::int64_t* ns) const;
    // After Finish: the silence from `quietFromNs` runs on past the end, and
    // is an outage once the next period is counted in: in this period from
    // its own start at the earliest, marked continuing.
    void MarkOutageContinuing(std::int64_t quietFromNs);
    // The outage that began in the previous period and ended at `resumedNs`
    // (data resuming at `offset`): in this period from its start, marked
    // continued, however short its part here.
    void MarkOutageContinued(std::int64_t resumedNs, std::uint64_t offset);

    // The completed seconds (all of them after Finish).
    const std::vector<HealthInterval>& Intervals() const { return intervals; }
    const std::vector<HealthOutage>& Outages() const { return outages; }
    // False until one second has completed.
    bool LastCompleteSecond(HealthInterval* out) const;

    std::int64_t StartNs() const { return startNs; }
    std::int64_t EndNs() const { return endNs; }  // as given to Finish
    std::uint64_t Datagrams() const { return datagrams; }
    std::uint64_t Bytes() const { return bytes; }
    std::uint64_t TsPacketsLost() const { return netLost > 0 ? static_cast<std::uint64_t>(netLost) : 0; }
    // TsPacketsLost plus the estimate of what bursts hid from the counters.
    std::uint64_t TsPacketsLostEstimated() const { return TsPacketsLost() + estimatedLost; }
    std::uint64_t Duplicates() const { return duplicates; }
    std::uint64_t Reordered() const { return reordered; }
    std::uint32_t IatMaxUs() const { return iatMaxUs; }
    double WorstDfMs() const { return worstDfMs; }
    std::uint64_t WorstMlr() const { return worstMlr; }
    bool Rtp() const { return rtp; }                    // RTP detected
    bool RateFromPcr() const { return rateFromPcr; }    // most seconds of the period took MR from PCRs
    // "configured", "pcr" or "measured".
    const char* RateSourceName() const;
    std::optional<std::uint64_t> HostDrops() const;     // in this period; none when never noted
    const std::uint64_t* IatHistogram() const { return iatHistogram; }  // kIatBuckets counts
    HealthRunTotals RunTotals() const;

private:
    // The first and the last arrival in one slot of the open second, as
    // nanoseconds into the second and TS bytes of the second before the first
    // and after the last. Enough for the delay factor at any rate.
    struct Slot {
        std::uint32_t firstNs, lastNs;
        std::uint64_t preBytes, postBytes;
    };

    void ResetPeriod(std::int64_t periodStartNs);
    void Close(std::int64_t endNs, std::uint64_t fileSize, bool streamEnds);
    void TakeReordered();
    bool CopyOfRecent(const std::uint8_t* payload, std::uint32_t size);
    void OpenSecond(std::int64_t index);
    void CloseSecond();
    void CloseThrough(std::int64_t index);
    std::int64_t SecondOf(std::int64_t ns) const;
    void ApplyHostDrops(std::uint64_t count);
    void CountLoss(std::int64_t packets);
    void JudgedLoss(std::int64_t tag, int packets);
    void WalkPackets(const std::uint8_t* ts, std::uint32_t size, std::int64_t arrivalNs);
    void EstimateBurst(std::uint64_t ticks, std::uint64_t between, std::int64_t arrivalGapNs);
    void NotePcr(unsigned pid, const std::uint8_t* packet, std::uint64_t position, std::int64_t arrivalNs);
    // Loss the counters or the clock found (plain TS): it explains host drops
    // booked as estimate before, or waits for those noted after.
    void CountedLoss(std::uint64_t packets);
    // At a second's close: the host drops noted in it, as packets.
    void PriceHostDrops();

    // Loss on one side of the host-drop matching, in the second it was booked.
    struct LossShare {
        std::int64_t atNs;    // the start of that second
        std::int64_t second;  // that second, in its period
        std::uint64_t packets;
    };

    // The period.
    std::int64_t startNs = 0, endNs = 0;
    bool started = false, finished = false;
    std::vector<HealthInterval> intervals;
    std::vector<HealthOutage> outages;
    std::uint64_t datagrams = 0, bytes = 0;
    std::int64_t netLost = 0;  // TS packets lost, less those that came late after all
    std::uint32_t iatMaxUs = 0;
    double worstDfMs = 0;
    std::uint64_t worstMlr = 0;
    bool rateFromPcr = false;
    std::uint64_t pcrSeconds = 0, measuredSeconds = 0;
    bool rateConfigured = false;
    std::uint64_t estimatedLost = 0, duplicates = 0, reordered = 0;
    std::int64_t period = 0;  // counts the periods: tags a gap with the period it opened in
    std::uint64_t iatHistogram[kIatBuckets] = {};
    std::uint64_t nextOffset = 0;      // where the next datagram's bytes go
    std::size_t firstUnresolved = 0;  // seconds from here on wait for the next datagram's offset
    std::uint64_t periodDrops = 0;     // host drops noted in this period
    HealthRunTotals earlier;           // of the periods before this one

    // The open second.
    HealthInterval open{};
    bool openHasOffset = false;
    std::uint64_t openTsBytes = 0;
    std::int64_t netLostAtOpen = 0;
    std::vector<Slot> slots;
    std::size_t slotsLow = 0, slotsHigh = 0;  // [low, high) may hold arrivals
    std::uint64_t openEstimated = 0;

    // The stream, across periods.
    pelorin::TsLossWindow lossWindow;
    std::uint64_t lossReordered = 0;  // the window's late datagrams counted so far
    pelorin::DuplicateWindow duplicateWindow;
    pelorin::RtpSequence rtpSequence;
    MediaRate mediaRate;
    std::uint64_t datagramIndex = 0;  // datagrams of the stream so far
    bool rtp = false;
    bool haveArrival = false;
    std::int64_t lastArrivalNs = 0;
    std::int64_t lastMediaNs = 0;  // the last arrival that was not a copy
    std::uint64_t tsPosition = 0;  // TS bytes seen before the current datagram
    int pcrPid = -1;
    bool pcrReference = false;
    std::uint64_t lastPcr = 0, lastPcrPosition = 0;
    std::int64_t lastPcrArrivalNs = 0;
    bool pairDirty = false;        // a loss or a reordering since the clock's last PCR
    std::int64_t seenSincePcr = 0;  // TS packets the counters found missing since then
    bool dropsNoted = false, dropsKnown = false;
    std::uint64_t lastDrops = 0;
    std::uint64_t pendingDrops = 0;  // noted for a second not open yet
    std::int64_t pendingDropsSecond = -1;
    std::uint64_t dropsToPrice = 0;  // noted, not yet turned into packets
    std::vector<LossShare> hostShares;     // host drops in the estimate that no counted loss explained (this period)
    std::vector<LossShare> countedShares;  // counted loss that no host drop explained
    std::uint64_t tsDatagrams = 0, tsPackets = 0;  // media datagrams of TS, and their packets
};
