#include "common/SegmentNames.h"

#include "common/DebugLine.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

// 2023-12-31 12:34:56 UTC
constexpr std::int64_t kNewYearsEve = 1704026096;

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

}  // namespace

// Expected values from an independent calendar (Python's datetime), around
// leap days, the last day of 365- and 366-day years, century years and the epoch.
TEST(SegmentNames, ExpandsEachConversionInUtc)
{
    const std::pair<std::int64_t, const wchar_t*> cases[] = {
        {0, L"1970 01 01 00 00 00 001"},
        {-1, L"1969 12 31 23 59 59 365"},
        {-2203891200, L"1900 03 01 00 00 00 060"},
        {951868799, L"2000 02 29 23 59 59 060"},
        {978307199, L"2000 12 31 23 59 59 366"},
        {kNewYearsEve, L"2023 12 31 12 34 56 365"},
        {1709251200, L"2024 03 01 00 00 00 061"},
        {1735632547, L"2024 12 31 08 09 07 366"},
        {2147483648, L"2038 01 19 03 14 08 019"},
        {4107499200, L"2100 02 28 12 00 00 059"},
        {4107542400, L"2100 03 01 00 00 00 060"},
        {13601001600, L"2400 12 31 00 00 00 366"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Narrow(SegmentFileName(L"%Y %m %d %H %M %S %j", c.first)), Narrow(c.second)) << c.first;
}

TEST(SegmentNames, NamesFromPattern)
{
    struct NameCase {
        const wchar_t* pattern;
        bool hasConversions;
        const wchar_t* expected;  // at kNewYearsEve
    };
    const NameCase cases[] = {
        // %% and unknown conversions, a lone % at the end
        {L"rec-%H%%%q.ts", true, L"rec-12%%q.ts"},
        {L"a%%Y%H%", true, L"a%Y12%"},
        {L"live%q.ts", false, L"live%q-20231231-123456.ts"},
        {L"tail%", false, L"tail%-20231231-123456"},
        // only %%: the name would not change from one segment to the next
        {L"100%%.ts", true, L"100%-20231231-123456.ts"},
        // the default suffix before the last extension of the file name
        {L"news.ts", false, L"news-20231231-123456.ts"},
        {L"news", false, L"news-20231231-123456"},
        {L"news.tar.gz", false, L"news.tar-20231231-123456.gz"},
        {L".ts", false, L".ts-20231231-123456"},
        {L"/srv/rec.d/news", false, L"/srv/rec.d/news-20231231-123456"},
        {L"/srv/rec.d/.ts", false, L"/srv/rec.d/.ts-20231231-123456"},
        {L"C:\\rec.d\\news.ts", false, L"C:\\rec.d\\news-20231231-123456.ts"},
        {L"C:\\rec.d\\news", false, L"C:\\rec.d\\news-20231231-123456"},
        {L"rec.d/sub.x\\news", false, L"rec.d/sub.x\\news-20231231-123456"},
        // conversions in the directory part, and no suffix then
        {L"/srv/%Y/%m/%d/news-%H.ts", true, L"/srv/2023/12/31/news-12.ts"},
        {L"D:\\rec\\%Y%m%d\\news.ts", true, L"D:\\rec\\20231231\\news.ts"},
        {L"day-%j/%H%M%S", true, L"day-365/123456"},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(HasSegmentConversions(c.pattern), c.hasConversions) << Narrow(c.pattern);
        EXPECT_EQ(Narrow(SegmentFileName(c.pattern, kNewYearsEve)), Narrow(c.expected)) << Narrow(c.pattern);
    }
}

TEST(SegmentNames, NextBoundaryIsTheNextWholeMultiple)
{
    struct BoundaryCase {
        std::int64_t now, segmentSeconds, expected;
    };
    const BoundaryCase cases[] = {
        {kNewYearsEve, 1, kNewYearsEve + 1},
        {kNewYearsEve, 60, 1704026100},
        {1704026100, 60, 1704026160},  // on a boundary: the next one
        {kNewYearsEve, 3600, 1704027600},
        {1704027600, 3600, 1704031200},
        {kNewYearsEve, 86400, 1704067200},
        {1704067200, 86400, 1704153600},
        {kNewYearsEve, 13, 1704026103},
        {-1, 3600, 0},
        {-3600, 3600, 0},
    };
    for (const BoundaryCase& c : cases)
        EXPECT_EQ(NextSegmentBoundary(c.now, c.segmentSeconds), c.expected) << c.now << " / " << c.segmentSeconds;
}

TEST(SegmentNames, ConsecutiveSegmentsNeverShareAName)
{
    struct CollisionCase {
        const wchar_t* pattern;
        std::int64_t seconds;
        const wchar_t* missing;  // "" when allowed
    };
    const CollisionCase cases[] = {
        {L"ch-%Y%m%d-%H%M.ts", 1, L"%S"},
        {L"ch-%Y%m%d-%H%M.ts", 60, L""},
        {L"ch-%Y%m%d-%H%M.ts", 90, L""},
        {L"news-%Y%m%d-%H.ts", 5400, L""},
        {L"news-%H.ts", 1800, L"%M"},
        {L"news-%H.ts", 3600, L""},       // a ring of 24 files
        {L"news-%H.ts", 86400, L"%d"},    // every segment the same hour
        {L"news-%H%M.ts", 86400, L"%d"},
        {L"news-%j-%H.ts", 86400, L""},
        {L"%M/%S.ts", 1, L""},
        {L"%S.ts", 60, L"%M"},
        {L"%S.ts", 90, L""},
        {L"%M.ts", 3600, L"%H"},
        {L"%M.ts", 7, L"%S"},
        {L"x.ts", 1, L""},                // the time suffix is added
        {L"x%%.ts", 1, L""},
        {L"%Y/%m/%d/ch.ts", 86400, L""},
        {L"%Y/%m/ch.ts", 86400, L"%d"},
    };
    for (const CollisionCase& c : cases) {
        EXPECT_EQ(Narrow(MissingSegmentConversion(c.pattern, c.seconds)), Narrow(c.missing))
            << Narrow(c.pattern) << " / " << c.seconds;
        if (*c.missing != L'\0') continue;
        // A run's first segment, started anywhere in a segment, never shares
        // the next one's name (which would truncate it at the boundary).
        const std::int64_t step = c.seconds > 600 ? c.seconds / 600 : 1;
        for (std::int64_t start = kNewYearsEve; start < kNewYearsEve + 2 * c.seconds; start += step) {
            const std::int64_t named = FirstSegmentNameSeconds(c.pattern, start, c.seconds);
            EXPECT_TRUE(named == start || named == start / c.seconds * c.seconds) << start;
            EXPECT_NE(Narrow(SegmentFileName(c.pattern, named)),
                      Narrow(SegmentFileName(c.pattern, NextSegmentBoundary(start, c.seconds))))
                << Narrow(c.pattern) << " / " << c.seconds << " from " << start;
        }
    }
    // Named from its start where that is safe.
    EXPECT_EQ(FirstSegmentNameSeconds(L"x-%H%M%S.ts", kNewYearsEve, 3600), kNewYearsEve);
}

TEST(SegmentNames, NamesMatchTheirPatternAndGiveBackTheirFields)
{
    struct MatchCase {
        const wchar_t* pattern;
        const wchar_t* name;
        bool matches;
        const wchar_t* report;  // the report pattern, expanded from what was read ("" when it cannot be)
        const wchar_t* reportName;
    };
    const MatchCase cases[] = {
        {L"x-%Y%m%d-%H%M%S.ts", L"x-20231231-123456.ts", true, L"r-%Y%m%d-%H%M%S.json", L"r-20231231-123456.json"},
        {L"x-%Y%m%d-%H%M%S.ts", L"x-20231231-12345.ts", false, L"", L""},
        {L"x-%Y%m%d-%H%M%S.ts", L"x-20231231-123456.ts.tmp", false, L"", L""},
        {L"x-%Y%m%d-%H%M%S.ts", L"x-2023123a-123456.ts", false, L"", L""},
        {L"news-%H.ts", L"news-07.ts", true, L"news-%H.json", L"news-07.json"},
        {L"news-%H.ts", L"news-07.ts", true, L"news-%d-%H.json", L""},
        // an hourly segment's report named to the second
        {L"news-%Y%m%d-%H.ts", L"news-20231231-07.ts", true, L"news-%Y%m%d-%H%M%S.json", L"news-20231231-070000.json"},
        {L"a%%-%j.ts", L"a%-365.ts", true, L"%j", L"365"},
        {L"a%%-%j.ts", L"a%%-365.ts", false, L"", L""},
    };
    for (const MatchCase& c : cases) {
        SegmentFields fields;
        EXPECT_EQ(MatchSegmentName(c.pattern, c.name, &fields), c.matches) << Narrow(c.name);
        if (!c.matches) continue;
        std::wstring reportName;
        EXPECT_EQ(SegmentNameFromFields(c.report, fields, &reportName), *c.reportName != L'\0') << Narrow(c.report);
        if (*c.reportName != L'\0') {
            EXPECT_EQ(Narrow(reportName), Narrow(c.reportName));
        }
    }
}

// A deep segment path never cuts off the closed line's counts and newline.
TEST(SegmentNames, LongNamesKeepTheWholeDebugLine)
{
    for (const std::size_t length : {10, 240, 600}) {
        const std::string name = "/srv/" + std::string(length, 'a') + ".ts";
        DebugCapture capture;
        OutputDebugLine("Segment closed: %s, %llu bytes, %llu datagrams\n", name.c_str(), 1316ULL, 1ULL);
        const std::vector<std::wstring> lines = capture.Messages();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(Narrow(lines[0]), "Segment closed: " + name + ", 1316 bytes, 1 datagrams\n") << length;
    }
}
