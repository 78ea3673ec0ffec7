#include "cpputil/Config2.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TempDir.h"

namespace {

using Lines = std::vector<std::string>;

// One reader bound to a file in a private directory. Helpers write the
// sections and run readConfig with an optional command line.
class Config2Test : public ::testing::Test {
protected:
    void writeConfig(const std::string& sections) {
        m_config.setConfFile(m_dir.write("config.xml", "<config>" + sections + "</config>"));
    }

    bool read(const char* section, std::vector<std::string> args = {}) {
        args.insert(args.begin(), "tolvexd");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        return m_config.readConfig(static_cast<int>(args.size()), argv.data(), section);
    }

    TempDir m_dir;
    Config2 m_config;
};

// Unknown elements only warn.
TEST_F(Config2Test, ValuesThatDoNotConvertWholeAreErrorsAndLeaveTheirTargets) {
    writeConfig("<s><a>true</a>\n<b>True</b><n> 12 </n><m>12x</m><big>99999999999</big><r>6</r><typo/></s>");
    bool a = false, b = true;
    int n = 0, m = 5, big = 5, r = 5;
    m_config.setValue("a", 0, true, Config2::BOOL, &a);
    m_config.setValue("b", 0, true, Config2::BOOL, &b);
    m_config.setValue("n", 0, true, Config2::INT, &n);
    m_config.setValue("m", 0, true, Config2::INT, &m);
    m_config.setValue("big", 0, true, Config2::INT, &big);
    m_config.setValue("r", 0, true, Config2::INT, &r);
    m_config.setRange("r", 0, 5);
    ASSERT_TRUE(read("s"));
    EXPECT_TRUE(a);
    EXPECT_TRUE(b);
    EXPECT_EQ(12, n);
    EXPECT_EQ(5, m);
    EXPECT_EQ(5, big);
    EXPECT_EQ(5, r);
    const std::string file = m_config.confFile();
    EXPECT_EQ((Lines{file + ":2: <b> \"True\": not true or false", file + ":2: <m> \"12x\": not a whole number",
                     file + ":2: <big> \"99999999999\": not a whole number",
                     file + ":2: <r> \"6\": not a whole number from 0 to 5"}),
              m_config.errors());
    EXPECT_EQ((Lines{file + ":2: <typo>: unknown in <s>, ignored"}), m_config.warnings());
}

}  // namespace
