#include "cpputil/Property.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TempDir.h"

namespace {

using Values = std::vector<std::string>;

class PropertyTest : public ::testing::Test {
protected:
    TempDir m_dir;
};

// The file is read in blocks; a repeated key is a list in document order.
TEST_F(PropertyTest, ValuesStraddlingReadBlocksArriveWhole) {
    std::string xml = "<c><s>";
    Values expected;
    for (int i = 0; i < 1000; ++i) {
        expected.push_back("value-" + std::to_string(i));
        xml += "<k>" + expected.back() + "</k>";
    }
    xml += "</s></c>";
    ASSERT_GT(xml.size(), 3 * 4096u);
    Property props;
    ASSERT_TRUE(props.read(m_dir.write("config.xml", xml).c_str(), "s"));
    EXPECT_EQ(expected, props["k"]);
}

}  // namespace
