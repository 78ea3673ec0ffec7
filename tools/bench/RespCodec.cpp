#include "bench/RespCodec.h"

#include <charconv>

namespace bench {

std::string encodeRespCommand(std::initializer_list<std::string_view> args) {
    // Appended piece by piece: "*" + std::to_string() trips a false -Wrestrict in GCC 12.
    std::string out;
    const auto header = [&out](char type, size_t n) {
        out += type;
        out += std::to_string(n);
        out += "\r\n";
    };
    header('*', args.size());
    for (std::string_view arg : args) {
        header('$', arg.size());
        out.append(arg);
        out += "\r\n";
    }
    return out;
}

void RespReader::feed(const char* data, size_t size) {
    // Compact once the consumed prefix dominates, so a long run keeps a small buffer.
    if (m_pos > 0 && m_pos >= m_buf.size() / 2) {
        m_buf.erase(0, m_pos);
        m_pos = 0;
    }
    m_buf.append(data, size);
}

RespReader::Event RespReader::next(resp_value_t* out) {
    if (!m_error.empty()) return Event::kError;
    size_t pos = m_pos;
    resp_value_t value;
    switch (parseValue(&pos, &value, false)) {
        case Parse::kPartial:
            return Event::kNone;
        case Parse::kBad:
            return Event::kError;
        case Parse::kDone:
            break;
    }
    m_pos = pos;
    *out = std::move(value);
    return Event::kValue;
}

RespReader::Parse RespReader::bad(std::string why) {
    m_error = std::move(why);
    return Parse::kBad;
}

RespReader::Parse RespReader::parseLine(size_t* pos, std::string_view* line) {
    const size_t end = m_buf.find("\r\n", *pos);
    if (end == std::string::npos) {
        // A line can only be short; waiting for more would let it grow forever.
        return m_buf.size() - *pos > kMaxLineBytes ? bad("reply line too long") : Parse::kPartial;
    }
    if (end - *pos > kMaxLineBytes) return bad("reply line too long");
    *line = std::string_view(m_buf).substr(*pos, end - *pos);
    *pos = end + 2;
    return Parse::kDone;
}

RespReader::Parse RespReader::parseNumber(size_t* pos, int64_t* value) {
    std::string_view line;
    if (const Parse p = parseLine(pos, &line); p != Parse::kDone) return p;
    const char* end = line.data() + line.size();
    const auto [ptr, ec] = std::from_chars(line.data(), end, *value);
    if (line.empty() || ec != std::errc() || ptr != end) return bad("not a number: '" + std::string(line) + "'");
    return Parse::kDone;
}

RespReader::Parse RespReader::parseBulk(size_t* pos, resp_value_t* out) {
    int64_t len = 0;
    if (const Parse p = parseNumber(pos, &len); p != Parse::kDone) return p;
    if (len == -1) {
        out->type = resp_value_t::Type::kNull;
        return Parse::kDone;
    }
    if (len < 0 || len > kMaxBulkBytes) return bad("bulk length " + std::to_string(len) + " out of bounds");
    const auto size = static_cast<size_t>(len);
    if (m_buf.size() - *pos < size + 2) return Parse::kPartial;
    if (m_buf.compare(*pos + size, 2, "\r\n") != 0) return bad("bulk string not terminated");
    out->type = resp_value_t::Type::kBulk;
    out->text.assign(m_buf, *pos, size);
    *pos += size + 2;
    return Parse::kDone;
}

RespReader::Parse RespReader::parseArray(size_t* pos, resp_value_t* out) {
    int64_t count = 0;
    if (const Parse p = parseNumber(pos, &count); p != Parse::kDone) return p;
    if (count == -1) {
        out->type = resp_value_t::Type::kNull;
        return Parse::kDone;
    }
    if (count < 0 || count > kMaxArrayItems) return bad("array of " + std::to_string(count) + " items out of bounds");
    out->type = resp_value_t::Type::kArray;
    out->items.resize(static_cast<size_t>(count));
    for (resp_value_t& item : out->items)
        if (const Parse p = parseValue(pos, &item, true); p != Parse::kDone) return p;
    return Parse::kDone;
}

RespReader::Parse RespReader::parseValue(size_t* pos, resp_value_t* out, bool nested) {
    if (*pos >= m_buf.size()) return Parse::kPartial;
    const char type = m_buf[*pos];
    size_t at = *pos + 1;
    Parse p = Parse::kDone;
    std::string_view line;
    switch (type) {
        case '+':
        case '-':
            p = parseLine(&at, &line);
            out->type = type == '+' ? resp_value_t::Type::kSimple : resp_value_t::Type::kError;
            out->text = line;
            break;
        case ':':
            p = parseNumber(&at, &out->integer);
            out->type = resp_value_t::Type::kInteger;
            break;
        case '$':
            p = parseBulk(&at, out);
            break;
        case '*':
            p = nested ? bad("nested array") : parseArray(&at, out);
            break;
        default:
            return bad("unknown reply type byte " + std::to_string(static_cast<unsigned char>(type)));
    }
    if (p == Parse::kDone) *pos = at;
    return p;
}

}  // namespace bench
