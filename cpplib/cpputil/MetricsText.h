#pragma once
// Writes metrics in the Prometheus text exposition format (version 0.0.4):
// a "# HELP" and a "# TYPE" line once per family, then its samples. Label
// values are escaped, so a configured string (a page path) cannot break a
// line. A value object; any thread, one writer at a time.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "cpputil/Histogram.h"

class MetricsText {
public:
    using label_t = std::pair<std::string_view, std::string_view>;
    using labels_t = std::initializer_list<label_t>;

    static constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

    // Starts a family; type is "counter", "gauge" or "histogram".
    void family(std::string_view name, std::string_view type, std::string_view help);
    void sample(std::string_view name, double value, labels_t labels = {});
    void sample(std::string_view name, uint64_t value, labels_t labels = {});
    void sample(std::string_view name, int64_t value, labels_t labels = {});
    // A family of one sample without labels.
    template <typename Value>
    void single(std::string_view name, std::string_view type, std::string_view help, Value value) {
        family(name, type, help);
        sample(name, value);
    }
    // A whole histogram family: _bucket lines with le (cumulative, +Inf
    // last), then _sum and _count.
    void histogram(std::string_view name, std::string_view help, const Histogram::snapshot_t& s);

    const std::string& text() const { return m_text; }
    std::string take() { return std::move(m_text); }

    // Shortest text that reads back as the same double; "+Inf", "-Inf", "NaN".
    static std::string number(double value);

private:
    void head(std::string_view name, labels_t labels, std::string_view extraName = {},
              std::string_view extraValue = {});
    void appendLabel(std::string_view name, std::string_view value, bool first);

    std::string m_text;
};
