#include "pipeline/HealthReport.h"

#include "common/UtcTime.h"
#include "pipeline/StreamHealth.h"

#include <cstdio>
#include <fstream>
#include <system_error>

namespace {

// Numbers are formatted by hand: the C library's would follow the locale's
// decimal separator.
void AppendUnsigned(std::string& out, std::uint64_t value)
{
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) out += digits[--n];
}

void AppendSigned(std::string& out, std::int64_t value)
{
    if (value < 0) {
        out += '-';
        AppendUnsigned(out, 0 - static_cast<std::uint64_t>(value));
    } else {
        AppendUnsigned(out, static_cast<std::uint64_t>(value));
    }
}

// `thousandths` / 1000 with three decimals.
void AppendThousandths(std::string& out, std::int64_t thousandths)
{
    std::uint64_t magnitude = static_cast<std::uint64_t>(thousandths);
    if (thousandths < 0) {
        out += '-';
        magnitude = 0 - magnitude;
    }
    AppendUnsigned(out, magnitude / 1000);
    out += '.';
    const auto fraction = static_cast<unsigned>(magnitude % 1000);
    out += static_cast<char>('0' + fraction / 100);
    out += static_cast<char>('0' + fraction / 10 % 10);
    out += static_cast<char>('0' + fraction % 10);
}

std::int64_t RoundedMs(std::int64_t ns)
{
    return ns >= 0 ? (ns + 500000) / 1000000 : -((500000 - ns) / 1000000);
}

// Nanoseconds as seconds, rounded to the millisecond.
void AppendSeconds(std::string& out, std::int64_t ns)
{
    AppendThousandths(out, RoundedMs(ns));
}

void AppendMilliseconds(std::string& out, double ms)
{
    const double thousandths = ms * 1000.0 + (ms >= 0 ? 0.5 : -0.5);
    AppendThousandths(out, thousandths < -9e18 || thousandths > 9e18 ? 0 : static_cast<std::int64_t>(thousandths));
}

void AppendTwo(std::string& out, unsigned value)
{
    out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

// ISO 8601 in UTC with milliseconds: 2024-05-01T12:00:00.250Z.
void AppendUtc(std::string& out, std::int64_t unixMs)
{
    const std::int64_t seconds = FloorDivide(unixMs, 1000);
    const UtcTime time = UtcFromUnixSeconds(seconds);
    if (time.year < 0) out += '-';
    const std::uint64_t y = static_cast<std::uint64_t>(time.year < 0 ? -time.year : time.year);
    for (std::uint64_t pad = 1000; pad > 1 && y < pad; pad /= 10) out += '0';
    AppendUnsigned(out, y);
    out += '-';
    AppendTwo(out, static_cast<unsigned>(time.month));
    out += '-';
    AppendTwo(out, static_cast<unsigned>(time.day));
    out += 'T';
    AppendTwo(out, static_cast<unsigned>(time.hour));
    out += ':';
    AppendTwo(out, static_cast<unsigned>(time.minute));
    out += ':';
    AppendTwo(out, static_cast<unsigned>(time.second));
    out += '.';
    const auto ms = static_cast<unsigned>(unixMs - seconds * 1000);
    out += static_cast<char>('0' + ms / 100);
    AppendTwo(out, ms % 100);
    out += 'Z';
}

// A JSON string. A byte that is not part of well-formed UTF-8 (a file name
// from a system that does not use it) becomes U+FFFD, so the report stays
// valid JSON.
void AppendString(std::string& out, const std::string& text)
{
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            std::size_t length = 0;
            unsigned low = 0x80, high = 0xBF;  // the allowed range of the second byte
            if (c >= 0xC2 && c <= 0xDF) {
                length = 2;
            } else if (c >= 0xE0 && c <= 0xEF) {
                length = 3;
                if (c == 0xE0) low = 0xA0;
                if (c == 0xED) high = 0x9F;  // no surrogates
            } else if (c >= 0xF0 && c <= 0xF4) {
                length = 4;
                if (c == 0xF0) low = 0x90;
                if (c == 0xF4) high = 0x8F;
            }
            bool good = length != 0 && i + length <= n && s[i + 1] >= low && s[i + 1] <= high;
            for (std::size_t k = 2; good && k < length; ++k) good = s[i + k] >= 0x80 && s[i + k] <= 0xBF;
            if (good) {
                out.append(text, i, length);
                i += length;
            } else {
                out += "\xEF\xBF\xBD";
                ++i;
            }
        }
    }
    out += '"';
}

void AppendKey(std::string& out, const char* key)
{
    out += '"';
    out += key;
    out += "\":";
}

}  // namespace

std::string HealthReportJson(const HealthReportInfo& info, const StreamHealth& health)
{
    std::string out;
    out.reserve(512 + 160 * health.Intervals().size() + 80 * health.Outages().size());
    out += "{\n  ";
    AppendKey(out, "file");
    AppendString(out, info.file);
    out += ",\n  ";
    AppendKey(out, "started");
    out += '"';
    AppendUtc(out, info.startedUnixMs);
    out += "\",\n  ";
    AppendKey(out, "ended");
    out += '"';
    AppendUtc(out, info.endedUnixMs);
    out += "\",\n  ";
    AppendKey(out, "seconds");
    AppendSeconds(out, health.EndNs() - health.StartNs());
    out += ",\n  ";
    AppendKey(out, "datagrams");
    AppendUnsigned(out, health.Datagrams());
    out += ",\n  ";
    AppendKey(out, "bytes");
    AppendUnsigned(out, health.Bytes());
    out += ",\n  ";
    AppendKey(out, "timestamp_source");
    out += info.kernelTimestamps ? "\"kernel\"" : "\"completion\"";
    out += ",\n  ";
    AppendKey(out, "rate_source");
    out += health.RateFromPcr() ? "\"pcr\"" : "\"measured\"";
    out += ",\n  ";
    AppendKey(out, "host_drops");
    if (const std::optional<std::uint64_t> drops = health.HostDrops())
        AppendUnsigned(out, *drops);
    else
        out += "null";
    out += ",\n  ";
    AppendKey(out, "ts_packets_lost");
    AppendUnsigned(out, health.TsPacketsLost());
    out += ",\n  ";
    AppendKey(out, "rtp");
    out += health.Rtp() ? "true" : "false";
    out += ",\n  ";
    AppendKey(out, "iat_max_us");
    AppendUnsigned(out, health.IatMaxUs());
    out += ",\n  ";
    AppendKey(out, "iat_histogram");
    out += '{';
    bool first = true;
    for (int k = 0; k < kIatBuckets; ++k) {
        const std::uint64_t count = health.IatHistogram()[k];
        if (count == 0) continue;
        if (!first) out += ", ";
        first = false;
        out += '"';
        AppendUnsigned(out, k == 0 ? 0 : std::uint64_t{1} << (k - 1));
        out += "\":";
        AppendUnsigned(out, count);
    }
    out += "},\n  ";
    AppendKey(out, "mdi_worst");
    out += '{';
    AppendKey(out, "df_ms");
    AppendMilliseconds(out, health.WorstDfMs());
    out += ", ";
    AppendKey(out, "mlr");
    AppendUnsigned(out, health.WorstMlr());
    out += "},\n  ";

    AppendKey(out, "outages");
    out += '[';
    first = true;
    for (const HealthOutage& o : health.Outages()) {
        out += first ? "\n    {" : ",\n    {";
        first = false;
        // The length from the rounded ends, so that the three figures agree.
        const std::int64_t startMs = RoundedMs(o.startNs - health.StartNs());
        const std::int64_t endMs = RoundedMs(o.endNs - health.StartNs());
        AppendKey(out, "start");
        AppendThousandths(out, startMs);
        out += ", ";
        AppendKey(out, "end");
        AppendThousandths(out, endMs);
        out += ", ";
        AppendKey(out, "seconds");
        AppendThousandths(out, endMs - startMs);
        out += ", ";
        AppendKey(out, "offset");
        AppendUnsigned(out, o.offset);
        out += '}';
    }
    out += first ? "],\n  " : "\n  ],\n  ";

    AppendKey(out, "intervals");
    out += '[';
    first = true;
    for (const HealthInterval& i : health.Intervals()) {
        out += first ? "\n    {" : ",\n    {";
        first = false;
        AppendKey(out, "t");
        AppendSigned(out, i.t);
        out += ", ";
        AppendKey(out, "offset");
        AppendUnsigned(out, i.offset);
        out += ", ";
        AppendKey(out, "datagrams");
        AppendUnsigned(out, i.datagrams);
        out += ", ";
        AppendKey(out, "bytes");
        AppendUnsigned(out, i.bytes);
        out += ", ";
        AppendKey(out, "iat_max_us");
        AppendUnsigned(out, i.iatMaxUs);
        out += ", ";
        AppendKey(out, "df_ms");
        AppendMilliseconds(out, i.dfMs);
        out += ", ";
        AppendKey(out, "mlr");
        AppendUnsigned(out, i.mlr);
        out += ", ";
        AppendKey(out, "host_drops");
        if (i.hostDrops < 0)
            out += "null";
        else
            AppendSigned(out, i.hostDrops);
        out += '}';
    }
    out += first ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

bool WriteHealthReport(const std::filesystem::path& path, const HealthReportInfo& info, const StreamHealth& health)
{
    const std::string json = HealthReportJson(info, health);
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    bool written = false;
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::out | std::ios::trunc);
        if (file.is_open()) {
            file.write(json.data(), static_cast<std::streamsize>(json.size()));
            file.close();
            written = !file.fail();
        }
    }
    std::error_code error;
    if (written) {
        std::filesystem::rename(temporary, path, error);
        if (!error) return true;
    }
    std::filesystem::remove(temporary, error);
    return false;
}
