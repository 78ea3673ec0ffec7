#pragma once
// The part of the Redis protocol (RESP2) that a pub/sub load needs: commands
// encoded as arrays of bulk strings, and a reader that cuts replies out of a
// byte stream however the socket splits them. Replies nest one level at most
// (pub/sub pushes are flat arrays) and every length is bounded, so a broken
// or hostile server cannot make the reader allocate without limit. Values;
// one thread at a time.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

struct resp_value_t {
    enum class Type { kSimple, kError, kInteger, kBulk, kNull, kArray };
    Type type = Type::kNull;
    std::string text;                  // kSimple, kError, kBulk
    int64_t integer = 0;               // kInteger
    std::vector<resp_value_t> items;   // kArray; never arrays themselves
};

// *N\r\n then $len\r\narg\r\n per argument.
std::string encodeRespCommand(std::initializer_list<std::string_view> args);

class RespReader {
public:
    static constexpr size_t kMaxLineBytes = 64;          // type byte, a number or a short status
    static constexpr int64_t kMaxBulkBytes = 64 * 1024;  // well over the largest message we send
    static constexpr int64_t kMaxArrayItems = 16;        // pub/sub pushes have three or four

    enum class Event { kNone, kValue, kError };

    void feed(const char* data, size_t size);
    // The next complete reply into *out. kError is final: the stream cannot
    // be trusted past it and error() says why.
    Event next(resp_value_t* out);
    const std::string& error() const { return m_error; }
    size_t buffered() const { return m_buf.size() - m_pos; }

private:
    enum class Parse { kDone, kPartial, kBad };
    Parse parseValue(size_t* pos, resp_value_t* out, bool nested);
    Parse parseLine(size_t* pos, std::string_view* line);
    Parse parseNumber(size_t* pos, int64_t* value);
    Parse parseBulk(size_t* pos, resp_value_t* out);
    Parse parseArray(size_t* pos, resp_value_t* out);
    Parse bad(std::string why);

    std::string m_buf;
    size_t m_pos = 0;  // first byte not yet handed out
    std::string m_error;
};

}  // namespace bench
