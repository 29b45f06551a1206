#include "front/MetricsFile.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The value of one series in the exposition text, "" when it is not there.
std::string Value(const std::string& text, const std::string& name)
{
    const std::size_t at = text.find("\n" + name + "{");
    if (at == std::string::npos) return "";
    const std::size_t space = text.find("} ", at);
    const std::size_t end = text.find('\n', space);
    return text.substr(space + 2, end - space - 2);
}

}  // namespace

TEST(MetricsFile, CountersNeverGoBackAndLabelsAreEscaped)
{
    MetricsFile file("unused.prom", MetricsLabels{"ff0e::1", "a\"b\\c\nd", "5002", "eth0"});
    struct Step {
        std::uint64_t tsLost;  // as the figures say at that moment
        const char* shown;     // as the file must show it
    } steps[] = {{0, "0"}, {7, "7"}, {5, "7"}, {9, "9"}};
    for (const Step& step : steps) {
        MetricsFigures figures;
        figures.health.tsPacketsLost = step.tsLost;
        const std::string text = "\n" + file.Text(figures);
        EXPECT_EQ(Value(text, "pelorin_ts_packets_lost_total"), step.shown) << text;
        EXPECT_NE(text.find("{group=\"ff0e::1\",source=\"a\\\"b\\\\c\\nd\",port=\"5002\",interface=\"eth0\"}"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("# TYPE pelorin_ts_packets_lost_total counter\n"), std::string::npos);
        // A figure that is not known is left out, never shown as 0.
        EXPECT_EQ(Value(text, "pelorin_host_dropped_datagrams_total"), "");
        EXPECT_EQ(Value(text, "pelorin_mdi_df_seconds"), "");
    }
}
