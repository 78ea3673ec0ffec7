// The Prometheus text a scraper reads: a histogram's buckets, and label
// values that cannot break their line.

#include "cpputil/MetricsText.h"

#include <gtest/gtest.h>

TEST(MetricsTextTest, HistogramIsCumulativeWithInclusiveBoundsAndInfEqualToCount) {
    Histogram h({0.001, 0.01, 0.1});
    for (double v : {0.0005, 0.001, 0.005, 0.05, 0.05, 3.0}) h.observe(v);
    MetricsText t;
    t.histogram("x_seconds", "Pass work.", h.snapshot());
    EXPECT_EQ("# HELP x_seconds Pass work.\n"
              "# TYPE x_seconds histogram\n"
              "x_seconds_bucket{le=\"0.001\"} 2\n"
              "x_seconds_bucket{le=\"0.01\"} 3\n"
              "x_seconds_bucket{le=\"0.1\"} 5\n"
              "x_seconds_bucket{le=\"+Inf\"} 6\n"
              "x_seconds_sum 3.1065\n"
              "x_seconds_count 6\n",
              t.text());
}

TEST(MetricsTextTest, LabelValuesAndHelpAreEscaped) {
    MetricsText t;
    t.family("x_total", "counter", "a \\ b\nc");
    t.sample("x_total", uint64_t{7}, {{"page", "/a\"b\\c\nd"}, {"code", "1"}});
    EXPECT_EQ("# HELP x_total a \\\\ b\\nc\n"
              "# TYPE x_total counter\n"
              "x_total{page=\"/a\\\"b\\\\c\\nd\",code=\"1\"} 7\n",
              t.text());
}
