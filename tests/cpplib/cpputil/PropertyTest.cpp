#include "cpputil/Property.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace {

using Values = std::vector<std::string>;

// Writes configuration documents into a private directory and reads one
// section of them.
class PropertyTest : public ::testing::Test {
protected:
    bool readSection(const std::string& xml, const char* section) {
        return m_props.read(m_dir.write("config.xml", xml).c_str(), section);
    }

    TempDir m_dir;
    Property m_props;
};

TEST_F(PropertyTest, RepeatedKeyIsAListInDocumentOrder) {
    ASSERT_TRUE(readSection("<c><waslist><was>a:1</was><page>/p</page><was>b:2</was></waslist></c>",
                            "waslist"));
    EXPECT_EQ((Values{"a:1", "b:2"}), m_props["was"]);
    EXPECT_EQ((Values{"/p"}), m_props["page"]);
}

TEST_F(PropertyTest, OnlyTheNamedSectionIsRead) {
    ASSERT_TRUE(readSection("<c><trace><port>1</port></trace><tolvexd><port>2</port></tolvexd>"
                            "<port>3</port></c>",
                            "tolvexd"));
    EXPECT_EQ((Values{"2"}), m_props["port"]);
}

TEST_F(PropertyTest, NestingGroupsAndAttributesAreIgnored) {
    ASSERT_TRUE(readSection("<c><s><group kind=\"x\"><a id=\"9\">1</a><b>2</b></group></s></c>",
                            "s"));
    EXPECT_EQ((Values{"1"}), m_props["a"]);
    EXPECT_EQ((Values{"2"}), m_props["b"]);
    EXPECT_EQ(nullptr, m_props.find("group"));
    EXPECT_EQ(nullptr, m_props.find("kind"));
}

TEST_F(PropertyTest, EverySectionOccurrenceContributes) {
    ASSERT_TRUE(readSection("<c><s><k>1</k></s><other><k>x</k></other><s><k>2</k></s></c>", "s"));
    EXPECT_EQ((Values{"1", "2"}), m_props["k"]);
}

TEST_F(PropertyTest, TextKeepsLineBreaksAndEntities) {
    ASSERT_TRUE(readSection("<c><s><msg>\n  line one &amp;\n  line two\n</msg></s></c>", "s"));
    EXPECT_EQ((Values{"\n  line one &\n  line two\n"}), m_props["msg"]);
}

TEST_F(PropertyTest, ValuesStraddlingReadBlocksArriveWhole) {
    std::string xml = "<c><s>";
    std::vector<std::string> expected;
    for (int i = 0; i < 1000; ++i) {
        expected.push_back("value-" + std::to_string(i));
        xml += "<k>" + expected.back() + "</k>";
    }
    xml += "</s></c>";
    ASSERT_GT(xml.size(), 3 * 4096u);
    ASSERT_TRUE(readSection(xml, "s"));
    EXPECT_EQ(expected, m_props["k"]);
}

TEST_F(PropertyTest, MalformedDocumentKeepsWhatCameBeforeTheFault) {
    EXPECT_TRUE(readSection("<c><s><a>1</a><b>2</oops><d>4</d></s></c>", "s"));
    EXPECT_EQ((Values{"1"}), m_props["a"]);
    EXPECT_EQ(nullptr, m_props.find("d"));
}

TEST_F(PropertyTest, MissingFileFails) {
    EXPECT_FALSE(m_props.read(m_dir.file("absent.xml").c_str(), "s"));
    EXPECT_EQ(nullptr, m_props.find("a"));
}

TEST_F(PropertyTest, SeparateReadersMayParseAtTheSameTime) {
    const std::string a = m_dir.write("a.xml", "<c><s><k>a</k><k>aa</k></s><t><k>x</k></t></c>");
    const std::string b = m_dir.write("b.xml", "<c><t><k>b</k></t><s><k>y</k></s></c>");
    Values fromA;
    Values fromB;
    std::thread other([&] {
        for (int i = 0; i < 50; ++i) {
            Property p;
            p.read(b.c_str(), "t");
            fromB = p["k"];
        }
    });
    for (int i = 0; i < 50; ++i) {
        Property p;
        p.read(a.c_str(), "s");
        fromA = p["k"];
    }
    other.join();
    EXPECT_EQ((Values{"a", "aa"}), fromA);
    EXPECT_EQ((Values{"b"}), fromB);
}

}  // namespace
