#pragma once
// A strict little JSON reader for the tool's --json line: the whole text
// must be one valid JSON value, and every scalar comes back under its
// dotted path ("ack_latency_us.p50"), so tests can check keys and numbers
// without a JSON library. The tool prints no arrays, so they count as invalid.

#include <cctype>
#include <map>
#include <optional>
#include <string>

class FlatJson {
public:
    // The scalars by path; nullopt when text is not exactly one JSON value.
    static std::optional<std::map<std::string, std::string>> parse(const std::string& text) {
        FlatJson reader(text);
        if (!reader.value("")) return std::nullopt;
        reader.skipSpace();
        if (reader.m_pos != text.size()) return std::nullopt;
        return reader.m_out;
    }

private:
    explicit FlatJson(const std::string& text) : m_text(text) {}

    void skipSpace() {
        while (m_pos < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_pos]))) ++m_pos;
    }
    bool eat(char c) {
        skipSpace();
        if (m_pos >= m_text.size() || m_text[m_pos] != c) return false;
        ++m_pos;
        return true;
    }

    bool value(const std::string& path) {
        skipSpace();
        if (m_pos >= m_text.size()) return false;
        const char c = m_text[m_pos];
        if (c == '{') return object(path);
        std::string scalar;
        if (c == '"') {
            if (!string(&scalar)) return false;
        } else if (!literal(&scalar)) {
            return false;
        }
        m_out[path] = scalar;
        return true;
    }

    bool object(const std::string& path) {
        ++m_pos;
        if (eat('}')) return true;
        do {
            std::string key;
            skipSpace();
            if (!string(&key) || !eat(':')) return false;
            if (!value(path.empty() ? key : path + "." + key)) return false;
        } while (eat(','));
        return eat('}');
    }

    bool string(std::string* out) {
        if (m_pos >= m_text.size() || m_text[m_pos] != '"') return false;
        for (++m_pos; m_pos < m_text.size(); ++m_pos) {
            const char c = m_text[m_pos];
            if (c == '"') {
                ++m_pos;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') {
                if (++m_pos >= m_text.size()) return false;
                const char e = m_text[m_pos];
                if (e == 'u') {
                    // The tests never look inside escapes; four hex digits follow.
                    for (int i = 0; i < 4; ++i)
                        if (++m_pos >= m_text.size() || !std::isxdigit(static_cast<unsigned char>(m_text[m_pos])))
                            return false;
                    continue;
                }
                if (std::string("\"\\/bfnrt").find(e) == std::string::npos) return false;
                *out += e;
                continue;
            }
            *out += c;
        }
        return false;
    }

    // true, false, null or a number.
    bool literal(std::string* out) {
        for (const char* word : {"true", "false", "null"}) {
            if (m_text.compare(m_pos, std::string(word).size(), word) == 0) {
                *out = word;
                m_pos += std::string(word).size();
                return true;
            }
        }
        // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
        const size_t begin = m_pos;
        if (peek() == '-') ++m_pos;
        if (peek() == '0') ++m_pos;
        else if (!digits()) return false;
        if (peek() == '.') {
            ++m_pos;
            if (!digits()) return false;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++m_pos;
            if (peek() == '+' || peek() == '-') ++m_pos;
            if (!digits()) return false;
        }
        out->assign(m_text, begin, m_pos - begin);
        return true;
    }

    char peek() const { return m_pos < m_text.size() ? m_text[m_pos] : '\0'; }
    bool digits() {
        const size_t begin = m_pos;
        while (std::isdigit(static_cast<unsigned char>(peek()))) ++m_pos;
        return m_pos > begin;
    }

    const std::string& m_text;
    size_t m_pos = 0;
    std::map<std::string, std::string> m_out;
};
