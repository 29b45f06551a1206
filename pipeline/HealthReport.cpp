#include "pipeline/HealthReport.h"

#include "common/ReplaceFile.h"
#include "common/UtcTime.h"
#include "pipeline/StreamHealth.h"
#include "platform/Platform.h"

#include <cstdio>
#include <fstream>
#include <system_error>
#include <vector>

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

// The members of one JSON object: each call writes the separator (but before
// the first) and the key, and hands back the text for the value.
class Members {
public:
    Members(std::string& text, const char* between) : out(text), separator(between) {}
    std::string& operator()(const char* key)
    {
        if (!first) out += separator;
        first = false;
        AppendKey(out, key);
        return out;
    }

private:
    std::string& out;
    const char* separator;
    bool first = true;
};

void AppendQuotedUtc(std::string& out, std::int64_t unixMs)
{
    out += '"';
    AppendUtc(out, unixMs);
    out += '"';
}

void AppendDrops(std::string& out, std::int64_t drops)
{
    if (drops < 0)
        out += "null";
    else
        AppendSigned(out, drops);
}

// An array of objects, one per line, each written by `write`.
template <typename Item, typename Write>
void AppendObjects(std::string& out, const std::vector<Item>& items, Write write)
{
    out += '[';
    for (const Item& item : items) {
        out += &item == &items.front() ? "\n    {" : ",\n    {";
        Members members(out, ", ");
        write(members, item);
        out += '}';
    }
    if (!items.empty()) out += "\n  ";
    out += ']';
}

}  // namespace

std::string HealthReportJson(const HealthReportInfo& info, const StreamHealth& health)
{
    std::string out;
    out.reserve(512 + 160 * health.Intervals().size() + 80 * health.Outages().size());
    out += "{\n  ";
    Members report(out, ",\n  ");
    AppendString(report("file"), info.file);
    AppendQuotedUtc(report("started"), info.startedUnixMs);
    AppendQuotedUtc(report("ended"), info.endedUnixMs);
    AppendSeconds(report("seconds"), health.EndNs() - health.StartNs());
    AppendUnsigned(report("datagrams"), info.datagramsInFile >= 0 ? static_cast<std::uint64_t>(info.datagramsInFile)
                                                                  : health.Datagrams());
    AppendUnsigned(report("bytes"), info.bytesInFile >= 0 ? static_cast<std::uint64_t>(info.bytesInFile) : health.Bytes());
    report("timestamp_source") += info.kernelTimestamps ? "\"kernel\"" : "\"completion\"";
    if (info.fileRemoved) report("file_removed") += "true";
    AppendString(report("rate_source"), health.RateSourceName());
    const std::optional<std::uint64_t> drops = health.HostDrops();
    AppendDrops(report("host_drops"), drops ? static_cast<std::int64_t>(*drops) : -1);
    AppendUnsigned(report("ts_packets_lost"), health.TsPacketsLost());
    AppendUnsigned(report("ts_packets_lost_estimated"), health.TsPacketsLostEstimated());
    AppendUnsigned(report("duplicates"), health.Duplicates());
    AppendUnsigned(report("reordered"), health.Reordered());
    report("rtp") += health.Rtp() ? "true" : "false";
    AppendUnsigned(report("iat_max_us"), health.IatMaxUs());

    report("iat_histogram") += '{';
    Members buckets(out, ", ");
    for (int k = 0; k < kIatBuckets; ++k) {
        const std::uint64_t count = health.IatHistogram()[k];
        if (count == 0) continue;
        // The bucket's lower bound in microseconds, as the key.
        char key[24];
        std::snprintf(key, sizeof key, "%llu", k == 0 ? 0ull : 1ull << (k - 1));
        AppendUnsigned(buckets(key), count);
    }
    out += '}';

    report("mdi_worst") += '{';
    Members worst(out, ", ");
    AppendMilliseconds(worst("df_ms"), health.WorstDfMs());
    AppendUnsigned(worst("mlr"), health.WorstMlr());
    out += '}';

    AppendObjects(report("outages"), health.Outages(), [&](Members& outage, const HealthOutage& o) {
        // The length from the rounded ends, so that the three figures agree.
        const std::int64_t startMs = RoundedMs(o.startNs - health.StartNs());
        const std::int64_t endMs = RoundedMs(o.endNs - health.StartNs());
        AppendThousandths(outage("start"), startMs);
        AppendThousandths(outage("end"), endMs);
        AppendThousandths(outage("seconds"), endMs - startMs);
        AppendUnsigned(outage("offset"), o.offset);
        if (o.continuing) outage("continuing") += "true";
        if (o.continued) outage("continued") += "true";
    });
    AppendObjects(report("intervals"), health.Intervals(), [](Members& second, const HealthInterval& i) {
        AppendSigned(second("t"), i.t);
        AppendUnsigned(second("offset"), i.offset);
        AppendUnsigned(second("datagrams"), i.datagrams);
        AppendUnsigned(second("bytes"), i.bytes);
        AppendUnsigned(second("iat_max_us"), i.iatMaxUs);
        AppendMilliseconds(second("df_ms"), i.dfMs);
        AppendUnsigned(second("mlr"), i.mlr);
        AppendUnsigned(second("ts_packets_lost_estimated"), i.lostEstimated);
        AppendDrops(second("host_drops"), i.hostDrops);
    });
    out += "\n}\n";
    return out;
}

bool WriteHealthReport(const std::filesystem::path& path, const HealthReportInfo& info, const StreamHealth& health)
{
    return ReplaceFileWith(path, HealthReportJson(info, health), true);
}
