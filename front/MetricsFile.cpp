#include "front/MetricsFile.h"

#include "common/AddressText.h"
#include "common/Recording.h"
#include "common/ReplaceFile.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace {

// Backslash, double quote and line feed are escaped in a label value.
std::string LabelValue(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string Number(std::uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%" PRIu64, value);
    return text;
}

std::string Number(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// One series: its name, TYPE, HELP and value.
struct Series {
    const char* name;
    const char* type;
    const char* help;
    std::string value;
};

}  // namespace

MetricsLabels RecordingLabels(const RecordingSettings& settings)
{
    // The same texts as every other line that shows the stream's addresses.
    auto text = [&settings](StreamAddressPart part) {
        char buffer[300];
        FormatStreamAddress(part, settings, buffer, sizeof buffer);
        return std::string(buffer);
    };
    MetricsLabels labels;
    labels.group = text(StreamAddressPart::group);
    labels.source = text(StreamAddressPart::source);
    labels.port = Number(static_cast<std::uint64_t>(ntohs(settings.port)));
    labels.interfaceAddress = text(StreamAddressPart::interfaceAddress);
    return labels;
}

MetricsFile::MetricsFile(const std::filesystem::path& file, const MetricsLabels& given) : path(file)
{
    labels = "{group=\"" + LabelValue(given.group) + "\",source=\"" + LabelValue(given.source) + "\",port=\"" +
             LabelValue(given.port) + "\",interface=\"" + LabelValue(given.interfaceAddress) + "\"}";
}

std::uint64_t MetricsFile::Counter(int index, std::uint64_t value)
{
    shown[index] = std::max(shown[index], value);
    return shown[index];
}

std::string MetricsFile::Text(const MetricsFigures& f)
{
    // A new series is one more row; the counters' rows keep their indexes.
    const Series rows[] = {
        {"pelorin_datagrams_total", "counter", "Datagrams received.", Number(Counter(0, f.datagrams))},
        {"pelorin_received_bytes_total", "counter", "Payload bytes received.", Number(Counter(1, f.receivedBytes))},
        {"pelorin_stored_bytes_total", "counter", "Bytes written to the recording.", Number(Counter(2, f.storedBytes))},
        {"pelorin_host_dropped_datagrams_total", "counter",
         "Datagrams the system dropped at the socket because its buffer was full.",
         f.hostDropsKnown ? Number(Counter(3, f.hostDrops)) : std::string()},
        {"pelorin_not_written_datagrams_total", "counter",
         "Datagrams received but dropped because the output could not take them in time.",
         Number(Counter(4, f.notWrittenInTime))},
        {"pelorin_ts_packets_lost_total", "counter", "Transport stream packets lost (continuity counters, RTP).",
         Number(Counter(5, f.health.tsPacketsLost))},
        {"pelorin_ts_packets_lost_estimated_total", "counter",
         "Transport stream packets lost, with those the stream clock or the host's drops show missing where the counters cannot.",
         Number(Counter(9, f.health.tsPacketsLostEstimated))},
        {"pelorin_rtp_packets_lost_total", "counter", "RTP packets lost (sequence numbers).",
         Number(Counter(6, f.health.rtpPacketsLost))},
        {"pelorin_outages_total", "counter", "Ended outages: at least one second without a datagram.",
         Number(Counter(7, f.health.outages))},
        {"pelorin_outage_seconds_total", "counter", "Seconds in ended outages.",
         Number(static_cast<double>(Counter(8, static_cast<std::uint64_t>(std::max<std::int64_t>(f.health.outageNs, 0)))) / 1e9)},
        {"pelorin_iat_max_seconds", "gauge", "Largest inter-arrival time in the last complete second.",
         f.lastSecondKnown ? Number(f.iatMaxSeconds) : std::string()},
        {"pelorin_mdi_df_seconds", "gauge", "RFC 4445 delay factor of the last complete second.",
         f.lastSecondKnown ? Number(f.dfSeconds) : std::string()},
        {"pelorin_mdi_mlr_packets", "gauge", "RFC 4445 media loss rate: TS packets lost in the last complete second.",
         f.lastSecondKnown ? Number(f.mlrPackets) : std::string()},
        {"pelorin_seconds_since_last_datagram", "gauge",
         "Seconds since the last datagram arrived (since the join while none has).",
         Number(f.secondsSinceLastDatagram)},
        {"pelorin_receiving", "gauge", "1 while the recording receives, 0 once it has ended.",
         f.receiving ? "1" : "0"},
        {"pelorin_start_time_seconds", "gauge", "When the recording started, in seconds since 1970 (UTC).",
         Number(f.startTimeSeconds)},
    };
    std::string text;
    for (const Series& row : rows) {
        if (row.value.empty()) continue;  // not known (yet)
        text += std::string("# HELP ") + row.name + " " + row.help + "\n";
        text += std::string("# TYPE ") + row.name + " " + row.type + "\n";
        text += std::string(row.name) + labels + " " + row.value + "\n";
    }
    return text;
}

bool MetricsFile::Write(const MetricsFigures& figures)
{
    // Not flushed to storage: it is rewritten every second and only read live.
    return ReplaceFileWith(path, Text(figures), false);
}
