#pragma once
// An application/x-www-form-urlencoded body under construction, with a
// fixed capacity: a value that does not fit is cut short, never spilled.
// A value owned by its user (a WAS job); one thread at a time.

#include <string>

class URLEncode {
public:
    URLEncode() = default;

    // Empties the body and sets its capacity in bytes. 1, or 0 when
    // buflen is negative.
    int init(int buflen);

    // "&" when something is there already, then "name=". 0 (nothing added)
    // when the body is full or the name does not fit, else 1.
    int appendName(const char* name);
    // name, then value percent-encoded (bencode) or copied; null is empty.
    int appendValue(const char* name, const char* value, bool bencode);
    // name, then value in decimal.
    int appendValue(const char* name, int value);
    // As the first form over exactly valueLen bytes (zero bytes included).
    int appendValue(const char* name, const char* value, int valueLen, bool bencode);
    // A whole body built earlier (and kept), as it was; the capacity becomes its size.
    void assign(const std::string& body) {
        m_buf = body;
        m_buflen = static_cast<int>(body.size()) + 1;
    }

    const char* c_str() const { return m_buf.c_str(); }
    const std::string& str() const { return m_buf; }
    int size() const { return static_cast<int>(m_buf.size()); }
    int capacity() const { return m_buflen; }

private:
    // Appends what fits of value (len bytes), encoded when asked.
    void appendBytes(const char* value, int len, bool bencode);

    std::string m_buf;
    int m_buflen = 0;
};
