#include "InspectOutput.h"

#include <cstdio>
#include <sstream>

namespace pelorin::tools {

namespace {

std::string rate(const std::optional<double>& bps) {
  if (!bps) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f", *bps);
  return buf;
}

}  // namespace

std::string toText(const InspectReport& r) {
  std::ostringstream out;
  char line[160];
  out << r.packets << " packets";
  if (r.durationSeconds) {
    std::snprintf(line, sizeof line, ", %.3f s", *r.durationSeconds);
    out << line;
    if (r.bitrateBps) {
      std::snprintf(line, sizeof line, ", %.3f Mbit/s", *r.bitrateBps / 1e6);
      out << line;
    }
    std::snprintf(line, sizeof line, " (clock: PCR of PID %u", unsigned{*r.pcrPid});
    out << line;
    for (const auto& h : r.clockHandOvers) {
      std::snprintf(line, sizeof line, ", then of PID %u from %.3f s", unsigned{h.pid}, h.atSeconds);
      out << line;
    }
    out << ")\n";
    if (r.estimatedSeconds && *r.estimatedSeconds > 0) {
      std::snprintf(line, sizeof line,
                    "clock estimated for %.3f s: no PCR to go by, time taken from the last rate and the bytes\n",
                    *r.estimatedSeconds);
      out << line;
    }
  } else {
    out << "\nno PCR: no duration or bit rates, and the time-based checks are off (PAT/PMT every 0.5 s, PID_error,\n"
           "PCR repetition and accuracy); PAT, PMTs and named PIDs are only required to appear at all\n";
  }
  if (r.rtp) {
    out << "RTP: " << r.rtpDatagrams << " datagrams, " << r.rtpGaps << " sequence gaps (" << r.rtpLost
        << " datagrams lost), " << r.rtpReordered << " reordered\n";
  }
  if (r.parity) out << "204-byte packets: 16 bytes of Reed-Solomon parity after each packet skipped\n";
  if (r.rtpPaddingBytes) out << r.rtpPaddingBytes << " bytes of RTP padding removed\n";
  if (r.skippedBytes || r.trailingBytes) {
    out << r.skippedBytes << " bytes skipped out of sync, " << r.trailingBytes << " trailing bytes\n";
  }
  out << "priority 1: TS_sync_loss " << r.tsSyncLoss << ", Sync_byte_error " << r.syncByteErrors << ", PAT_error "
      << r.patErrors << ", Continuity_count_error " << r.ccErrors << ", PMT_error " << r.pmtErrors << ", PID_error "
      << r.pidErrors << "\n";
  out << "priority 2: CRC_error " << r.crcErrors << ", PCR_repetition_error " << r.pcrRepetitionErrors
      << ", PCR_discontinuity_indicator_error " << r.pcrDiscontinuityErrors << ", PCR_accuracy_error "
      << r.pcrAccuracyErrors << "\n";
  if (r.pcrPid && r.pcrAccuracyJudged == 0) {
    out << "PCR_accuracy_error not judged: no ten PCR intervals in a row at one constant rate (a variable-rate\n"
           "multiplex, or too few PCRs)\n";
  }
  out << "   PID            packets  cc errors       bit/s\n";
  for (const auto& p : r.pids) {
    std::snprintf(line, sizeof line, "%6u (0x%04X) %10llu %10llu %11s\n", unsigned{p.pid}, unsigned{p.pid},
                  static_cast<unsigned long long>(p.packets), static_cast<unsigned long long>(p.ccErrors),
                  rate(p.bitrateBps).c_str());
    out << line;
  }
  out << (r.packets == 0       ? "ERRORS: no transport stream packets"
          : r.priority1Ok() ? "OK: no priority-1 errors"
                            : "ERRORS: priority-1 errors found");
  return out.str();
}

std::string toJson(const InspectReport& r) {
  auto number = [](const std::optional<double>& v, const char* format) {
    if (!v) return std::string("null");
    char buf[48];
    std::snprintf(buf, sizeof buf, format, *v);
    return std::string(buf);
  };
  std::ostringstream out;
  out << "{\"ok\":" << (r.ok() ? "true" : "false") << ",\"bytes\":" << r.bytes
      << ",\"packets\":" << r.packets << ",\"skipped_bytes\":" << r.skippedBytes
      << ",\"trailing_bytes\":" << r.trailingBytes
      << ",\"packet_size\":" << (r.parity ? 204 : 188) << ",\"rtp_padding_bytes\":" << r.rtpPaddingBytes << ",\"ts_sync_loss\":" << r.tsSyncLoss
      << ",\"sync_byte_errors\":" << r.syncByteErrors << ",\"pat_errors\":" << r.patErrors
      << ",\"cc_errors\":" << r.ccErrors << ",\"pmt_errors\":" << r.pmtErrors << ",\"pid_errors\":" << r.pidErrors
      << ",\"crc_errors\":" << r.crcErrors << ",\"pcr_repetition_errors\":" << r.pcrRepetitionErrors
      << ",\"pcr_discontinuity_errors\":" << r.pcrDiscontinuityErrors
      << ",\"pcr_accuracy_errors\":" << r.pcrAccuracyErrors << ",\"pcr_accuracy_judged\":" << r.pcrAccuracyJudged
      << ",\"rtp\":" << (r.rtp ? "true" : "false") << ",\"rtp_datagrams\":" << r.rtpDatagrams
      << ",\"rtp_gaps\":" << r.rtpGaps << ",\"rtp_lost\":" << r.rtpLost << ",\"reordered\":" << r.rtpReordered
      << ",\"pcr_pid\":" << (r.pcrPid ? std::to_string(*r.pcrPid) : "null")
      << ",\"time_checks\":" << (r.pcrPid ? "true" : "false") << ",\"clock_pids\":[";
  if (r.pcrPid) out << *r.pcrPid;
  for (const auto& h : r.clockHandOvers) out << "," << h.pid;
  out << "],\"clock_estimated_s\":" << number(r.estimatedSeconds, "%.6f")
      << ",\"duration_s\":" << number(r.durationSeconds, "%.6f")
      << ",\"bitrate_bps\":" << number(r.bitrateBps, "%.0f") << ",\"pids\":{";
  bool first = true;
  for (const auto& p : r.pids) {
    out << (first ? "" : ",") << "\"" << p.pid << "\":{\"packets\":" << p.packets << ",\"cc_errors\":" << p.ccErrors
        << ",\"bitrate_bps\":" << number(p.bitrateBps, "%.0f") << "}";
    first = false;
  }
  out << "}}";
  return out.str();
}

}  // namespace pelorin::tools
