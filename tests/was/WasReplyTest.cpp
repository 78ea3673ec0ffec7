// The reply header and the XML values exactly as the daemon's reader takes them.
#include "was/WasReply.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "WasHarness.h"

namespace {

// What the daemon's reader gets back for one attribute value.
std::string roundTrip(const std::string& value) {
    std::string document;
    XmlRows xml(document, "rows");
    xml.add("row", {{"v", value}});
    xml.finish();
    xml_rows_t parsed = xmlRows(document, "row");
    EXPECT_TRUE(parsed.parsed) << document;
    return parsed.rows.empty() ? std::string("<none>") : parsed.rows[0].at(0);
}

TEST(WasReplyTest, HeaderIsMagicCodeLittleEndianLengthAndTextCutTo254) {
    EXPECT_EQ(bytesOf("\xFE\x34\x12\x03" "abc"), replyHeader(0x1234, "abc"));
    const std::string header = replyHeader(400, std::string(300, 'e'));
    EXPECT_EQ(254, static_cast<unsigned char>(header[3]));
    EXPECT_EQ(4u + 254u, header.size());
}

TEST(WasReplyTest, NumbersSurviveTheDaemonsAtoi) {
    for (uint32_t value : {0u, 2147483647u, 2147483648u, 4294967295u})
        EXPECT_EQ(value, static_cast<uint32_t>(std::atoi(xmlNumber(value).c_str()))) << value;
}

TEST(WasReplyTest, TextComesBackUnchangedOrAsQuestionMarksOfTheSameLength) {
    EXPECT_EQ("a&b<c>\"d'e\tx\ny\rz", roundTrip("a&b<c>\"d'e\tx\ny\rz"));
    EXPECT_EQ("\xEA\xB9\x80 \xF0\x9F\x98\x80", roundTrip("\xEA\xB9\x80 \xF0\x9F\x98\x80"));
    // Control bytes, a stray continuation byte, a cut sequence, an overlong
    // form, a surrogate and U+FFFF: any of them would end the daemon's parse.
    EXPECT_EQ("a?b?c", roundTrip(bytesOf("a\0b\x01" "c")));
    EXPECT_EQ("x?y", roundTrip("x\x80y"));
    EXPECT_EQ("??z", roundTrip("\xEA\xB0z"));
    EXPECT_EQ("??", roundTrip("\xC0\xAF"));
    EXPECT_EQ("???", roundTrip("\xED\xA0\x80"));
    EXPECT_EQ("???", roundTrip("\xEF\xBF\xBF"));
}

}  // namespace
