// The RESP reader as the Redis load meets it: replies cut anywhere by the
// socket, the three value kinds pub/sub uses, and replies that must end the
// connection instead of growing the buffer.

#include <gtest/gtest.h>

#include <string>

#include "bench/RespCodec.h"

namespace {

using bench::RespReader;
using bench::resp_value_t;
using Type = resp_value_t::Type;

void feed(RespReader& reader, const std::string& bytes) { reader.feed(bytes.data(), bytes.size()); }

TEST(RespCodecTest, EncodesCommandsAsArraysOfBulkStrings) {
    EXPECT_EQ("*3\r\n$7\r\nPUBLISH\r\n$6\r\nroom:7\r\n$4\r\na\r\nb\r\n",
              bench::encodeRespCommand({"PUBLISH", "room:7", "a\r\nb"}));
}

TEST(RespCodecTest, ReadsAPushSplitAtEveryByte) {
    const std::string push = "*3\r\n$7\r\nmessage\r\n$6\r\nroom:7\r\n$4\r\na\r\nb\r\n:2\r\n";
    RespReader reader;
    resp_value_t value;
    for (size_t i = 0; i + 4 < push.size(); ++i) {
        EXPECT_EQ(RespReader::Event::kNone, reader.next(&value)) << "after " << i << " bytes";
        reader.feed(&push[i], 1);
    }
    reader.feed(push.data() + push.size() - 4, 4);
    ASSERT_EQ(RespReader::Event::kValue, reader.next(&value));
    ASSERT_EQ(Type::kArray, value.type);
    ASSERT_EQ(3u, value.items.size());
    EXPECT_EQ("message", value.items[0].text);
    EXPECT_EQ("room:7", value.items[1].text);
    EXPECT_EQ("a\r\nb", value.items[2].text);  // bulk strings are binary-safe

    ASSERT_EQ(RespReader::Event::kValue, reader.next(&value));
    EXPECT_EQ(Type::kInteger, value.type);
    EXPECT_EQ(2, value.integer);
    EXPECT_EQ(RespReader::Event::kNone, reader.next(&value));
    EXPECT_EQ(0u, reader.buffered());
}

TEST(RespCodecTest, ReadsErrorsAndNullBulks) {
    RespReader reader;
    feed(reader, "-ERR wrong\r\n$-1\r\n");
    resp_value_t value;
    ASSERT_EQ(RespReader::Event::kValue, reader.next(&value));
    EXPECT_EQ(Type::kError, value.type);
    EXPECT_EQ("ERR wrong", value.text);
    ASSERT_EQ(RespReader::Event::kValue, reader.next(&value));
    EXPECT_EQ(Type::kNull, value.type);
}

TEST(RespCodecTest, MalformedOrOversizedRepliesAreFinal) {
    const std::string bad[] = {
        "?what\r\n",                                                    // unknown type byte
        ":12x\r\n",                                                     // not a number
        "$4\r\nabcdXY",                                                 // bulk not terminated
        "$" + std::to_string(RespReader::kMaxBulkBytes + 1) + "\r\n",  // bulk too large to buffer
        "*" + std::to_string(RespReader::kMaxArrayItems + 1) + "\r\n",
        "*1\r\n*1\r\n:1\r\n",                          // nesting pub/sub never sends
        ":" + std::string(RespReader::kMaxLineBytes + 1, '1'),  // a line that never ends
    };
    for (const std::string& bytes : bad) {
        RespReader reader;
        feed(reader, bytes);
        resp_value_t value;
        EXPECT_EQ(RespReader::Event::kError, reader.next(&value)) << bytes;
        EXPECT_FALSE(reader.error().empty());
        feed(reader, ":1\r\n");
        EXPECT_EQ(RespReader::Event::kError, reader.next(&value)) << "must stay closed after " << bytes;
    }
}

}  // namespace
