#include "cpputil/MetricsText.h"

#include <charconv>
#include <cmath>

std::string MetricsText::number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

void MetricsText::family(std::string_view name, std::string_view type, std::string_view help) {
    m_text.append("# HELP ").append(name).append(" ");
    // HELP text escapes only the backslash and the line end.
    for (char c : help) {
        if (c == '\\') m_text.append("\\\\");
        else if (c == '\n') m_text.append("\\n");
        else m_text.push_back(c);
    }
    m_text.append("\n# TYPE ").append(name).append(" ").append(type).append("\n");
}

void MetricsText::appendLabel(std::string_view name, std::string_view value, bool first) {
    m_text.append(first ? "{" : ",").append(name).append("=\"");
    for (char c : value) {
        if (c == '\\') m_text.append("\\\\");
        else if (c == '"') m_text.append("\\\"");
        else if (c == '\n') m_text.append("\\n");
        else m_text.push_back(c);
    }
    m_text.push_back('"');
}

void MetricsText::head(std::string_view name, labels_t labels, std::string_view extraName,
                       std::string_view extraValue) {
    m_text.append(name);
    bool first = true;
    for (const label_t& l : labels) {
        appendLabel(l.first, l.second, first);
        first = false;
    }
    if (!extraName.empty()) {
        appendLabel(extraName, extraValue, first);
        first = false;
    }
    if (!first) m_text.push_back('}');
    m_text.push_back(' ');
}

void MetricsText::sample(std::string_view name, double value, labels_t labels) {
    head(name, labels);
    m_text.append(number(value)).push_back('\n');
}

void MetricsText::sample(std::string_view name, uint64_t value, labels_t labels) {
    head(name, labels);
    m_text.append(std::to_string(value)).push_back('\n');
}

void MetricsText::sample(std::string_view name, int64_t value, labels_t labels) {
    head(name, labels);
    m_text.append(std::to_string(value)).push_back('\n');
}

void MetricsText::histogram(std::string_view name, std::string_view help, const Histogram::snapshot_t& s) {
    family(name, "histogram", help);
    const std::string bucket = std::string(name) + "_bucket";
    for (size_t i = 0; i < s.bounds.size(); ++i) {
        head(bucket, {}, "le", number(s.bounds[i]));
        m_text.append(std::to_string(s.cumulative[i])).push_back('\n');
    }
    head(bucket, {}, "le", "+Inf");
    m_text.append(std::to_string(s.count)).push_back('\n');
    sample(std::string(name) + "_sum", s.sum);
    sample(std::string(name) + "_count", s.count);
}
