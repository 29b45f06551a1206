#include "common/AddressText.h"
#include "front/CommandLine.h"
#include "front/RecordingRun.h"
#include "support/TestSettings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "You must provide exactly 5 arguments: -i[interface] , -m[multicast address] , -p[port] , "
    "-l[recording length in seconds], -f[file]\n"
    "Example: pelorin.exe -i 192.168.0.2 -m 239.255.0.1 -p 5002 -l 3600 -f \"C:\\\\Recording\\\\stream.ts.mpg\" \n"
    "If you have only one NIC: pelorin.exe -i 0 ...\n";

struct ParseOutcome {
    HRESULT status;
    RecordingSettings settings;
    std::string output;
    std::string interfaceText;  // as every line shows it
};

ParseOutcome Parse(std::vector<std::wstring> options)
{
    std::vector<std::wstring> words{L"pelorin"};
    words.insert(words.end(), options.begin(), options.end());
    std::vector<wchar_t*> argv;
    for (auto& word : words) argv.push_back(word.data());
    ParseOutcome outcome{};
    outcome.settings.startTime = 1000;
    testing::internal::CaptureStdout();
    outcome.status = ParseOptions(static_cast<int>(argv.size()), argv.data(), &outcome.settings);
    outcome.output = testing::internal::GetCapturedStdout();
    char text[128];
    FormatStreamAddress(StreamAddressPart::interfaceAddress, outcome.settings, text, sizeof text);
    outcome.interfaceText = text;
    // The path and an interface's name point into `words`, which dies here.
    outcome.settings.outputPath = nullptr;
    outcome.settings.extended.interfaceName = nullptr;
    return outcome;
}

std::vector<std::wstring> Valid()
{
    return {L"-i", L"0", L"-m", L"239.255.0.1", L"-p", L"5002", L"-l", L"10", L"-f", L"out.ts"};
}

std::vector<std::wstring> With(const std::wstring& option, const std::wstring& value)
{
    auto words = Valid();
    for (std::size_t i = 0; i < words.size(); i += 2)
        if (words[i] == option) words[i + 1] = value;
    return words;
}

}  // namespace

TEST(CommandLine, ValidLineFillsEverySetting)
{
    ParseOutcome outcome = Parse(Valid());
    EXPECT_EQ(outcome.status, S_OK);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(outcome.settings.interfaceAddress, 0u);
    EXPECT_EQ(outcome.settings.groupAddress, inet_addr("239.255.0.1"));
    EXPECT_EQ(outcome.settings.port, htons(5002));
    EXPECT_EQ(outcome.settings.endTime, 1010);
}

TEST(CommandLine, PairsInAnyOrderGiveTheSameSettings)
{
    ParseOutcome reversed =
        Parse({L"-f", L"out.ts", L"-l", L"10", L"-p", L"5002", L"-m", L"239.255.0.1", L"-i", L"192.168.0.2"});
    EXPECT_EQ(reversed.status, S_OK);
    EXPECT_EQ(reversed.settings.interfaceAddress, inet_addr("192.168.0.2"));
    EXPECT_EQ(reversed.settings.groupAddress, inet_addr("239.255.0.1"));
    EXPECT_EQ(reversed.settings.port, htons(5002));
    EXPECT_EQ(reversed.settings.endTime, 1010);
}

TEST(CommandLine, WrongArgumentCountPrintsUsageAndSucceeds)
{
    for (int count : {1, 10, 12}) {
        std::vector<std::wstring> words(static_cast<std::size_t>(count), L"-i");
        std::vector<wchar_t*> argv;
        for (auto& word : words) argv.push_back(word.data());
        testing::internal::CaptureStdout();
        int result = PelorinMain(count, argv.data(), &g_testSettings);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), kUsage) << count;
        EXPECT_EQ(result, 0) << count;
    }
}

TEST(CommandLine, VersionIsOneLineAndOnlyAsTheOnlyArgument)
{
    struct Case {
        std::vector<std::wstring> words;
        std::string output;
    } cases[] = {
        {{L"pelorin", L"--version"}, "pelorin " PELORIN_VERSION "\n"},
        {{L"pelorin", L"--Version"}, kUsage},
        {{L"pelorin", L"--version", L"x"}, kUsage},
    };
    for (auto& c : cases) {
        std::vector<wchar_t*> argv;
        for (auto& word : c.words) argv.push_back(word.data());
        testing::internal::CaptureStdout();
        EXPECT_EQ(PelorinMain(static_cast<int>(argv.size()), argv.data(), &g_testSettings), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    }
    EXPECT_STREQ(PELORIN_VERSION, "1.1.0");
}

TEST(CommandLine, ExtensionOptionsLeadAndTheFivePairsFollowAsAlways)
{
    const std::string unknown = "Unknown option: --reprot=r.json\n" + std::string(kUsage);
    struct Case {
        std::vector<std::wstring> words;
        int result;
        std::string output;
        const wchar_t* report;
    } cases[] = {
        // Ten arguments after the extension options, whatever their number.
        {{L"pelorin", L"--report=r.json", L"-i", L"0", L"-m", L"x", L"-p", L"1", L"-l", L"1", L"-f", L"o"},
         E_FAIL, "Error occurred while parsing multicast ip.\n", L"r.json"},
        {{L"pelorin", L"--report=r.json", L"-i", L"0"}, 0, kUsage, L"r.json"},
        // A typo is refused, never taken for a recording that did nothing.
        {{L"pelorin", L"--reprot=r.json", L"-i", L"0", L"-m", L"x", L"-p", L"1", L"-l", L"1", L"-f", L"o"},
         E_FAIL, unknown, nullptr},
        {{L"pelorin", L"--report=", L"-i", L"0"}, E_FAIL, "Unknown option: --report=\n" + std::string(kUsage), nullptr},
        // A "--" text in a value position stays a value.
        {{L"pelorin", L"-i", L"0", L"-m", L"--report=x", L"-p", L"1", L"-l", L"1", L"-f", L"o"}, E_FAIL,
         "Error occurred while parsing multicast ip.\n", nullptr},
    };
    for (auto& c : cases) {
        g_testSettings.reportPath = nullptr;
        std::vector<wchar_t*> argv;
        for (auto& word : c.words) argv.push_back(word.data());
        testing::internal::CaptureStdout();
        EXPECT_EQ(PelorinMain(static_cast<int>(argv.size()), argv.data(), &g_testSettings), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
        if (c.report == nullptr)
            EXPECT_EQ(g_testSettings.reportPath, nullptr);
        else
            EXPECT_STREQ(g_testSettings.reportPath, c.report);
    }
    g_testSettings.reportPath = nullptr;
}

TEST(CommandLine, SegmentLengthTakesAUnitAndNothingElseFollows)
{
    struct Case {
        std::wstring argument;
        long long seconds;  // 0: refused
        unsigned keep;
    } cases[] = {
        {L"--segment=3600", 3600, 0}, {L"--segment=1h", 3600, 0}, {L"--segment=30m", 1800, 0},
        {L"--segment=2s", 2, 0},      {L"--segment=1d", 86400, 0}, {L"--segment=2d", 0, 0},
        {L"--segment=1x", 0, 0},      {L"--segment=1hh", 0, 0},   {L"--segment=h", 0, 0},
        {L"--segment=1 h", 0, 0},     {L"--keep=7", 1, 7},        {L"--keep=7d", 0, 0},
    };
    for (auto& c : cases) {
        RecordingSettings settings = {};
        std::wstring program = L"pelorin";
        std::wstring segment = L"--segment=1";
        // --keep needs --segment before it.
        std::vector<wchar_t*> argv = {program.data()};
        if (c.argument.rfind(L"--keep", 0) == 0) argv.push_back(segment.data());
        argv.push_back(c.argument.data());
        HRESULT status = S_OK;
        testing::internal::CaptureStdout();
        ParseExtensionOptions(static_cast<int>(argv.size()), argv.data(), &settings, &status);
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, c.seconds != 0 ? S_OK : E_FAIL) << output;
        if (c.seconds != 0) {
            EXPECT_EQ(settings.segmentSeconds, c.seconds);
        }
        EXPECT_EQ(settings.keepSegments, c.keep);
    }
}

TEST(CommandLine, MisspelledExtensionOptionsSayWhatToWrite)
{
    const std::vector<std::wstring> pairs = Valid();
    auto line = [&](std::vector<std::wstring> before, std::vector<std::wstring> after) {
        std::vector<std::wstring> words{L"pelorin"};
        words.insert(words.end(), before.begin(), before.end());
        words.insert(words.end(), pairs.begin(), pairs.end());
        words.insert(words.end(), after.begin(), after.end());
        return words;
    };
    const std::string usage = kUsage;
    struct Case {
        std::vector<std::wstring> words;
        int result;
        std::string output;
    } cases[] = {
        {line({L"--segment", L"60"}, {}), E_FAIL, "Write --segment=60 as one argument, with \"=\".\n" + usage},
        {line({L"--report", L"r.json"}, {}), E_FAIL, "Write --report=r.json as one argument, with \"=\".\n" + usage},
        {line({L"--no-data"}, {}), E_FAIL, "Write --no-data=VALUE as one argument, with \"=\".\n" + usage},
        {line({L"--segment=60", L"--metrics"}, {}), E_FAIL,
         "Write --metrics=VALUE as one argument, with \"=\".\n" + usage},
        {line({L"-segment=60"}, {}), E_FAIL, "Write --segment=60 with two dashes.\n" + usage},
        {line({L"-media-rate=40"}, {}), E_FAIL, "Write --media-rate=40 with two dashes.\n" + usage},
        {line({}, {L"--segment=60"}), E_FAIL, "Write --segment=60 before the five option pairs.\n" + usage},
        {line({L"--keep=3"}, {L"--index=i.csv"}), E_FAIL, "Write --index=i.csv before the five option pairs.\n" + usage},
        {line({}, {L"--no-data=5", L"x"}), E_FAIL, "Write --no-data=5 before the five option pairs.\n" + usage},
        // The wrong counts that are no misspelling keep their usage and 0.
        {{L"pelorin", L"--version", L"extra"}, 0, usage},
        {line({}, {L"extra"}), 0, usage},
        {line({}, {L"--verbose=1"}), 0, usage},
        {line({}, {L"-segment=60"}), 0, usage},
        {{L"pelorin", L"-i", L"0"}, 0, usage},
        {{L"pelorin", L"--segmentation", L"-i", L"0"}, 0, usage},
        {{L"pelorin"}, 0, usage},
    };
    for (auto& c : cases) {
        std::vector<wchar_t*> argv;
        for (auto& word : c.words) argv.push_back(word.data());
        testing::internal::CaptureStdout();
        EXPECT_EQ(PelorinMain(static_cast<int>(argv.size()), argv.data(), &g_testSettings), c.result) << c.output;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    }
    g_testSettings = RecordingSettings{};
}

TEST(CommandLine, NoDataAndMetricsValues)
{
    const std::string usage = kUsage;
    struct Case {
        std::wstring option;
        int result;
        std::string output;
        std::int64_t noData;
    } cases[] = {
        {L"--no-data=1", 0, usage, 1},
        {L"--no-data=86400", 0, usage, 86400},
        {L"--no-data=0", E_FAIL, "Error occurred while parsing no-data length.\n", 0},
        {L"--no-data=86401", E_FAIL, "Error occurred while parsing no-data length.\n", 0},
        {L"--no-data=x", E_FAIL, "Error occurred while parsing no-data length.\n", 0},
        {L"--metrics=", E_FAIL, "Unknown option: --metrics=\n" + usage, 0},
    };
    for (auto& c : cases) {
        g_testSettings = RecordingSettings{};
        std::vector<std::wstring> words{L"pelorin", c.option, L"-i", L"0"};
        std::vector<wchar_t*> argv;
        for (auto& word : words) argv.push_back(word.data());
        testing::internal::CaptureStdout();
        EXPECT_EQ(PelorinMain(static_cast<int>(argv.size()), argv.data(), &g_testSettings), c.result) << c.output;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
        EXPECT_EQ(g_testSettings.noDataSeconds, c.noData);
    }
    std::wstring metrics = L"--metrics=m.prom";
    std::vector<wchar_t*> argv{const_cast<wchar_t*>(L"pelorin"), metrics.data()};
    testing::internal::CaptureStdout();
    EXPECT_EQ(PelorinMain(2, argv.data(), &g_testSettings), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(g_testSettings.metricsPath, L"m.prom");
    g_testSettings = RecordingSettings{};
}

TEST(CommandLine, SourceAtGroupNamesTheSourceOfASourceSpecificGroup)
{
    struct Case {
        const wchar_t* value;
        const char* source;  // nullptr: a parse error
        const char* group;
    } cases[] = {
        {L"10.1.2.3@232.1.1.1", "10.1.2.3", "232.1.1.1"},
        {L"0x0A010203@0350.1.1.1", "10.1.2.3", "232.1.1.1"},
        {L"239.255.0.1", "0.0.0.0", "239.255.0.1"},  // no source: any
        {L"0", "0.0.0.0", "0.0.0.0"},                // unicast, as before
        {L"@232.1.1.1", nullptr, nullptr},
        {L"10.1.2.3@", nullptr, nullptr},
        {L"@", nullptr, nullptr},
        {L"10.1.2.3@232.1.1.1@232.1.1.2", nullptr, nullptr},
        {L"10.1.2.x@232.1.1.1", nullptr, nullptr},
        {L"10.1.2.3@232.1.1", "10.1.2.3", "232.1.0.1"},
        {L"10.1.2.3@232.1.1.x", nullptr, nullptr},
        {L"255.255.255.255@232.1.1.1", nullptr, nullptr},
        {L"10.1.2.3@10.1.1.1", nullptr, nullptr},  // a source needs a multicast group
        {L"10.1.2.3@0", nullptr, nullptr},
        {L"0@232.1.1.1", nullptr, nullptr},  // no source at all
    };
    for (const Case& c : cases) {
        ParseOutcome outcome = Parse(With(L"-m", c.value));
        if (c.source == nullptr) {
            EXPECT_EQ(outcome.status, E_FAIL);
            EXPECT_EQ(outcome.output, "Error occurred while parsing multicast ip.\n");
            continue;
        }
        EXPECT_EQ(outcome.status, S_OK);
        EXPECT_EQ(outcome.settings.sourceAddress, inet_addr(c.source));
        EXPECT_EQ(outcome.settings.groupAddress, inet_addr(c.group));
    }
}

TEST(CommandLine, MissingOptionPrintsUsageAndFails)
{
    auto upperCase = Valid();
    upperCase[4] = L"-P";
    auto repeated = Valid();
    repeated[8] = L"-i";
    repeated[9] = L"0";
    auto glued = Valid();
    glued[0] = L"-i4";
    for (const auto& line : {upperCase, repeated, glued}) {
        ParseOutcome outcome = Parse(line);
        EXPECT_EQ(outcome.status, E_FAIL);
        EXPECT_EQ(outcome.output, kUsage);
    }
}

TEST(CommandLine, AddressErrorsNameTheOption)
{
    for (const wchar_t* bad : {L"", L"255.255.255.255", L"1.2.3.4.5", L"239.255.0.x", L"256.0.0.1", L"h\u00e9llo"}) {
        ParseOutcome nic = Parse(With(L"-i", bad));
        EXPECT_EQ(nic.status, E_FAIL);
        EXPECT_EQ(nic.output, "Error occurred while parsing NIC ip.\n");
        ParseOutcome group = Parse(With(L"-m", bad));
        EXPECT_EQ(group.status, E_FAIL);
        EXPECT_EQ(group.output, "Error occurred while parsing multicast ip.\n");
    }
}

TEST(CommandLine, AddressesFollowInetAddrForms)
{
    HRESULT status = S_OK;
    EXPECT_EQ(ParseIPv4Address(L"0xEFFF0001", &status), inet_addr("239.255.0.1"));
    EXPECT_EQ(ParseIPv4Address(L"239.255.1", &status), inet_addr("239.255.0.1"));
    EXPECT_EQ(ParseIPv4Address(L"0357.0377.0.1", &status), inet_addr("239.255.0.1"));
    EXPECT_EQ(ParseIPv4Address(L"0", &status), 0u);
    EXPECT_EQ(status, S_OK);
    EXPECT_EQ(ParseIPv4Address(L"08.1.1.1", &status), INADDR_NONE);
    EXPECT_EQ(status, E_FAIL);
    // Once failed, the status stays failed.
    ParseIPv4Address(L"10.0.0.1", &status);
    EXPECT_EQ(status, E_FAIL);
}

TEST(CommandLine, PortMustBeANumberInRange)
{
    EXPECT_EQ(Parse(With(L"-p", L"65535")).settings.port, htons(65535));
    EXPECT_EQ(Parse(With(L"-p", L"  +1")).settings.port, htons(1));
    EXPECT_EQ(Parse(With(L"-p", L"5002x")).settings.port, htons(5002));
    for (const wchar_t* bad : {L"0", L"65536", L"70000", L"-1", L"abc", L"", L"+", L"99999999999999999999"}) {
        ParseOutcome outcome = Parse(With(L"-p", bad));
        EXPECT_EQ(outcome.status, E_FAIL) << bad;
        EXPECT_EQ(outcome.output, "Error occurred while parsing port.\n") << bad;
    }
}

TEST(CommandLine, LengthMustBeANumberInRange)
{
    EXPECT_EQ(Parse(With(L"-l", L"3600s")).settings.endTime, 1000 + 3600);
    EXPECT_EQ(Parse(With(L"-l", L"0")).settings.endTime, 1000);
    EXPECT_EQ(Parse(With(L"-l", L"2147483647")).settings.endTime, 1000 + 2147483647LL);
    for (const wchar_t* bad : {L"-1", L"2147483648", L"abc", L""}) {
        ParseOutcome outcome = Parse(With(L"-l", bad));
        EXPECT_EQ(outcome.status, E_FAIL) << bad;
        EXPECT_EQ(outcome.output, "Error occurred while parsing recording length.\n") << bad;
    }
}

TEST(CommandLine, FirstBadValueInLineOrderIsTheOneReported)
{
    ParseOutcome outcome =
        Parse({L"-p", L"0", L"-i", L"bad", L"-m", L"239.255.0.1", L"-l", L"10", L"-f", L"out.ts"});
    EXPECT_EQ(outcome.output, "Error occurred while parsing port.\n");
    outcome = Parse({L"-i", L"bad", L"-p", L"0", L"-m", L"239.255.0.1", L"-l", L"10", L"-f", L"out.ts"});
    EXPECT_EQ(outcome.output, "Error occurred while parsing NIC ip.\n");
    // A bad value is reported even when an option is also missing.
    outcome = Parse({L"-x", L"1", L"-p", L"0", L"-m", L"239.255.0.1", L"-l", L"10", L"-f", L"out.ts"});
    EXPECT_EQ(outcome.output, "Error occurred while parsing port.\n");
}

TEST(CommandLine, ValueThatLooksLikeAnOptionIsAValue)
{
    ParseOutcome outcome = Parse({L"-f", L"-i", L"-i", L"0", L"-m", L"239.255.0.1", L"-p", L"5002", L"-l", L"10"});
    EXPECT_EQ(outcome.status, S_OK);
}

TEST(CommandLine, IPv6GroupsAndInterfacesByNameFollowTheFamilyRule)
{
    const char* const kNic = "Error occurred while parsing NIC ip.\n";
    const char* const kGroup = "Error occurred while parsing multicast ip.\n";
    struct Case {
        const wchar_t* nic;
        const wchar_t* group;
        const char* error;  // nullptr: accepted, with these texts
        const char* groupText;
        const char* sourceText;
        const char* nicText;
    } cases[] = {
        {L"0", L"ff0e::1:2", nullptr, "ff0e::1:2", "", "::"},
        {L"0", L"FF0E:0:0:0::1:2", nullptr, "ff0e::1:2", "", "::"},
        {L"lo", L"ff15::42", nullptr, "ff15::42", "", "lo"},
        {L"::1", L"2001:db8::10@ff3e::1234", nullptr, "ff3e::1234", "2001:db8::10", "::1"},
        {L"fe80::1%lo", L"ff02::1:3", nullptr, "ff02::1:3", "", "fe80::1%lo"},
        {L"1", L"ff0e::1", nullptr, "ff0e::1", "", "1"},  // a plain number is an index with IPv6
        // IPv4 keeps every meaning; a name serves it too.
        {L"1", L"239.255.0.1", nullptr, "239.255.0.1", "", "0.0.0.1"},
        {L"lo", L"10.1.2.3@232.1.1.1", nullptr, "232.1.1.1", "10.1.2.3", "lo"},
        // A name limits a recording through its join: a unicast one has none.
        {L"lo", L"0", kNic, "", "", ""},
        {L"lo", L"127.0.0.1", kNic, "", "", ""},
        {L"lo", L"224.0.0.1", nullptr, "224.0.0.1", "", "lo"},
        {L"127.0.0.1", L"0", nullptr, "0.0.0.0", "", "127.0.0.1"},
        // An interface-local or link-local group is one per link: any interface names none.
        {L"0", L"ff02::1:3", kNic, "", "", ""},
        {L"::", L"ff01::1", kNic, "", "", ""},
        {L"00", L"2001:db8::10@ff32::8000:1", kNic, "", "", ""},
        {L"::%lo", L"ff02::1:3", nullptr, "ff02::1:3", "", "lo"},
        {L"lo", L"ff12::1", nullptr, "ff12::1", "", "lo"},
        {L"::", L"ff05::1", nullptr, "ff05::1", "", "::"},
        {L"nosuch0", L"ff0e::1", kNic, "", "", ""},
        {L"nosuch0", L"239.255.0.1", kNic, "", "", ""},
        {L"fe80::1%nosuch0", L"ff0e::1", kNic, "", "", ""},
        {L"fe80::zz", L"ff0e::1", kNic, "", "", ""},
        {L"999999", L"ff0e::1", kNic, "", "", ""},
        {L"10.0.0.1", L"ff0e::1", kGroup, "", "", ""},  // families must match
        {L"::1", L"239.255.0.1", kGroup, "", "", ""},
        {L"0", L"10.1.2.3@ff3e::1", kGroup, "", "", ""},
        {L"0", L"2001:db8::1@232.1.1.1", kGroup, "", "", ""},
        {L"0", L"2001:db8::1", kGroup, "", "", ""},  // not multicast
        {L"0", L"ff3e::1@ff3e::2", kGroup, "", "", ""},
        {L"0", L"::@ff3e::1", kGroup, "", "", ""},
        {L"0", L"ff0e::1@", kGroup, "", "", ""},
        {L"0", L"@ff0e::1", kGroup, "", "", ""},
        {L"0", L"ff0e::1%lo", kGroup, "", "", ""},
        {L"0", L"ff0e::1::2", kGroup, "", "", ""},
    };
    for (const Case& c : cases) {
        for (bool groupFirst : {false, true}) {
            auto words = With(L"-i", c.nic);
            words[3] = c.group;
            if (groupFirst) {
                std::swap(words[0], words[2]);
                std::swap(words[1], words[3]);
            }
            ParseOutcome outcome = Parse(words);
            const std::string line = "-i " + std::string(c.nic, c.nic + std::wcslen(c.nic)) + (groupFirst ? " after -m" : "");
            if (c.error != nullptr) {
                EXPECT_EQ(outcome.status, E_FAIL) << line;
                EXPECT_EQ(outcome.output, c.error) << line;
                continue;
            }
            ASSERT_EQ(outcome.status, S_OK) << line << outcome.output;
            char text[128];
            FormatStreamAddress(StreamAddressPart::group, outcome.settings, text, sizeof text);
            EXPECT_STREQ(text, c.groupText) << line;
            FormatStreamAddress(StreamAddressPart::source, outcome.settings, text, sizeof text);
            EXPECT_STREQ(text, c.sourceText) << line;
            EXPECT_EQ(outcome.interfaceText, c.nicText) << line;
        }
    }
}

TEST(CommandLine, AddressTextsAreTheUsualOnesOfEachFamily)
{
    struct Case {
        const char* address;
        const char* text;
    } cases[] = {
        {"ff0e:0:0:0:0:0:1:2", "ff0e::1:2"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // the first of two equal runs
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
        {"0:0:0:0:0:0:0:0", "::"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"fe80:0:0:0:0:0:0:0", "fe80::"},
        {"::ffff:10.1.2.3", "::ffff:10.1.2.3"},
        {"FF3E:0:0:0:0:0:0:1234", "ff3e::1234"},
    };
    for (const Case& c : cases) {
        IN6_ADDR address = {};
        ASSERT_EQ(inet_pton(AF_INET6, c.address, &address), 1) << c.address;
        char text[64];
        EXPECT_EQ(FormatIPv6(address, text, sizeof text), std::strlen(c.text));
        EXPECT_STREQ(text, c.text);
    }
    char small[8];
    EXPECT_EQ(FormatIPv4(inet_addr("239.255.0.1"), small, sizeof small), 7u);  // cut, still terminated
    EXPECT_STREQ(small, "239.255");
}

TEST(CommandLine, MediaRateIsMegabitsWithUpToThreeDecimals)
{
    struct Case {
        const wchar_t* value;
        double mbit;  // 0: refused
    } cases[] = {
        {L"6", 6.0},         {L"0.384", 0.384}, {L"12.5", 12.5}, {L"1.2345", 1.234}, {L"100000", 100000.0},
        {L"", 0},            {L"0", 0},         {L"0.0001", 0},  {L"-1", 0},         {L"6M", 0},
        {L"1.2.3", 0},       {L".", 0},         {L"100000.001", 0}, {L"99999999999999999999", 0},
    };
    for (const Case& c : cases) {
        std::wstring option = std::wstring(L"--media-rate=") + c.value;
        wchar_t program[] = L"pelorin";
        wchar_t* argv[] = {program, option.data()};
        RecordingSettings settings = {};
        HRESULT status = S_OK;
        testing::internal::CaptureStdout();
        const int taken = ParseExtensionOptions(2, argv, &settings, &status);
        const std::string output = testing::internal::GetCapturedStdout();
        if (c.mbit == 0) {
            EXPECT_EQ(status, E_FAIL) << option.size();
            EXPECT_EQ(output, "Error occurred while parsing media rate.\n");
        } else {
            EXPECT_EQ(status, S_OK);
            EXPECT_EQ(taken, 1);
            EXPECT_DOUBLE_EQ(settings.mediaRateMbit, c.mbit);
        }
    }
}
