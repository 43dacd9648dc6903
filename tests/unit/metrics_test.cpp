// The metrics registry: names and labels it refuses, cells shared by equal label values, escaping in the exposition,
// cutting into a small buffer, removal and unregistration.
#include <gtest/gtest.h>

#include <string>

#include "tessarc/metrics.h"

namespace {

std::string exposition()
{
    std::string text;
    TQ_metricsWriteTo([](void *out, const char *data, size_t n) { static_cast<std::string *>(out)->append(data, n); },
                      &text);
    return text;
}

} // namespace

TEST(Metrics, RegistrationCellsEscapingAndRemoval)
{
    for (const char *bad : {"", "1st", "a-b", "a b"})
        EXPECT_EQ(TQ_metricRegister(bad, "h", TQ_METRIC_COUNTER, nullptr), nullptr) << bad;
    for (const char *labels : {"a,a", "a,", ",a", "a,b-c", "a,b,c,d,e,f,g,h,i"})
        EXPECT_EQ(TQ_metricRegister("t_bad_labels", "h", TQ_METRIC_COUNTER, labels), nullptr) << labels;

    TQ_Metric *m = TQ_metricRegister("t_sent_total", "Sent \\ by\nlink.", TQ_METRIC_COUNTER, "link,kind");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(TQ_metricRegister("t_sent_total", "again", TQ_METRIC_GAUGE, nullptr), nullptr);
    EXPECT_EQ(TQ_getLastError(), TQ_ERR_NOT_PERMITTED);
    EXPECT_EQ(TQ_metricCell(m, nullptr), nullptr); /* labelled metric needs values */

    const char *odd[] = {"a\"b\\c\nd", "x"}, *plain[] = {"p", "x"};
    TQ_MetricCell *c1 = TQ_metricCell(m, odd), *c2 = TQ_metricCell(m, plain);
    ASSERT_TRUE(c1 && c2);
    EXPECT_EQ(TQ_metricCell(m, odd), c1);
    TQ_metricAdd(c1, 5);
    TQ_metricAdd(c2, 1);
    TQ_metricAdd(c2, 1);
    std::string text = exposition();
    EXPECT_NE(text.find("# HELP t_sent_total Sent \\\\ by\\nlink.\n# TYPE t_sent_total counter\n"
                        "t_sent_total{link=\"a\\\"b\\\\c\\nd\",kind=\"x\"} 5\n"
                        "t_sent_total{link=\"p\",kind=\"x\"} 2\n"),
              std::string::npos)
        << text;

    // Cut like snprintf: the full length is returned, the buffer ends in NUL. (The process gauges, uptime and memory,
    // may change the length between two writes by a few digits.)
    char small[16];
    EXPECT_NEAR(double(TQ_metricsWrite(small, sizeof small)), double(text.size()), 16.0);
    EXPECT_EQ(std::string(small), text.substr(0, sizeof small - 1));

    TQ_metricRemoveCell(m, c1);
    text = exposition();
    EXPECT_EQ(text.find("t_sent_total{link=\"a"), std::string::npos);
    EXPECT_NE(text.find("t_sent_total{link=\"p\",kind=\"x\"} 2\n"), std::string::npos);

    static double s_value = 1.5;
    TQ_Metric *g = TQ_metricRegisterCollector(
        "t_level", nullptr, TQ_METRIC_GAUGE, nullptr,
        [](void *v, TQ_MetricWriter *w) { TQ_metricWriteSample(w, nullptr, *static_cast<double *>(v)); }, &s_value);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(TQ_metricCell(g, nullptr), nullptr); /* a collected metric has no cells */
    EXPECT_NE(exposition().find("# TYPE t_level gauge\nt_level 1.5\n"), std::string::npos);

    TQ_metricUnregister(m);
    TQ_metricUnregister(g);
    text = exposition();
    EXPECT_EQ(text.find("t_sent_total"), std::string::npos);
    EXPECT_EQ(text.find("t_level"), std::string::npos);
    EXPECT_NE(text.find("\nprocess_threads "), std::string::npos);
    // The name is free again.
    m = TQ_metricRegister("t_sent_total", "h", TQ_METRIC_COUNTER, nullptr);
    EXPECT_NE(m, nullptr);
    TQ_metricUnregister(m);
}
