#include "cpputil/Config2.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TempDir.h"

namespace {

// One reader bound to a file in a private directory. Helpers write the
// section body and run readConfig with an optional command line.
class Config2Test : public ::testing::Test {
protected:
    void writeConfig(const std::string& sections) {
        m_config.setConfFile(m_dir.write("config.xml", "<config>" + sections + "</config>"));
    }

    bool read(const char* section, std::vector<std::string> args = {}) {
        if (args.empty()) return m_config.readConfig(0, nullptr, section);
        args.insert(args.begin(), "tolvexd");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        return m_config.readConfig(static_cast<int>(args.size()), argv.data(), section);
    }

    static std::string dotted(const sockaddr_in& sa) {
        char buf[INET_ADDRSTRLEN];
        return inet_ntop(AF_INET, &sa.sin_addr, buf, sizeof buf);
    }

    TempDir m_dir;
    Config2 m_config;
};

TEST_F(Config2Test, ListTakesAllValuesUpToItsCapacity) {
    writeConfig("<s><n>10</n><n>20</n></s>");
    int values[5] = {0, 0, 0, 0, 0};
    int count = 5;
    m_config.setValue("n", 0, true, Config2::INT, values, &count);
    ASSERT_TRUE(read("s"));
    EXPECT_EQ(2, count);
    EXPECT_EQ(10, values[0]);
    EXPECT_EQ(20, values[1]);
    EXPECT_EQ(0, values[2]);
}

TEST_F(Config2Test, ListOfCapacityOneKeepsTheFirstValue) {
    writeConfig("<s><n>10</n><n>20</n></s>");
    int values[2] = {0, -7};
    int count = 1;
    m_config.setValue("n", 0, true, Config2::INT, values, &count);
    ASSERT_TRUE(read("s"));
    EXPECT_EQ(1, count);
    EXPECT_EQ(10, values[0]);
    EXPECT_EQ(-7, values[1]);
}

TEST_F(Config2Test, CommandLineWinsOverTheFile) {
    writeConfig("<s><room_timeout_min>60</room_timeout_min><mode>file</mode></s>");
    int timeout = 0;
    std::string mode;
    m_config.setValue("room_timeout_min", 0, true, Config2::INT, &timeout);
    m_config.setValue("mode", 's', true, Config2::STRING, &mode);
    ASSERT_TRUE(read("s", {"--room_timeout_min", "5", "-s", "cli"}));
    EXPECT_EQ(5, timeout);
    EXPECT_EQ("cli", mode);
}

TEST_F(Config2Test, ValuesThatDoNotConvertWholeAreErrorsAndLeaveTheirTargets) {
    writeConfig("<s><a>true</a>\n<b>True</b><n> 12 </n><m>12x</m><big>99999999999</big><r>6</r></s>");
    bool a = false;
    bool b = true;
    int n = 0;
    int m = 5;
    int big = 5;
    int r = 5;
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
    EXPECT_EQ((std::vector<std::string>{file + ":2: <b> \"True\": not true or false",
                                        file + ":2: <m> \"12x\": not a whole number",
                                        file + ":2: <big> \"99999999999\": not a whole number",
                                        file + ":2: <r> \"6\": not a whole number from 0 to 5"}),
              m_config.errors());
}

TEST_F(Config2Test, ElementOutsideTheSectionIsIgnored) {
    writeConfig("<other><port>1</port></other><s><x>0</x></s><port>2</port>");
    int port = 99;
    m_config.setValue("port", 0, true, Config2::INT, &port);
    ASSERT_TRUE(read("s"));
    EXPECT_EQ(99, port);
}

TEST_F(Config2Test, StringAcrossLinesKeepsLineBreaksAndIndentation) {
    writeConfig("<s><motd>\n    first line\n    second line\n</motd></s>");
    std::string motd;
    m_config.setValue("motd", 0, true, Config2::STRING, &motd);
    ASSERT_TRUE(read("s"));
    EXPECT_EQ("\n    first line\n    second line\n", motd);
}

TEST_F(Config2Test, AddressWithPortIsStoredInNetworkOrder) {
    writeConfig("<s><bind>10.0.0.5:7000</bind><bare>10.0.0.6</bare></s>");
    sockaddr_in bind{};
    sockaddr_in bare{};
    bare.sin_port = htons(1);
    m_config.setValue("bind", 0, true, Config2::IPADDRESS, &bind);
    m_config.setValue("bare", 0, true, Config2::IPADDRESS, &bare);
    ASSERT_TRUE(read("s"));
    EXPECT_EQ(AF_INET, bind.sin_family);
    EXPECT_EQ("10.0.0.5", dotted(bind));
    EXPECT_EQ(htons(7000), bind.sin_port);
    EXPECT_EQ(htons(1), bare.sin_port);  // no ":": an error, untouched
    EXPECT_EQ(0u, bare.sin_addr.s_addr);
    EXPECT_EQ(1u, m_config.errors().size());
}

TEST_F(Config2Test, MissingFileLeavesEverythingUntouched) {
    m_config.setConfFile(m_dir.file("absent.xml"));
    int value = 42;
    int list[3] = {1, 2, 3};
    int count = 3;
    m_config.setValue("value", 0, true, Config2::INT, &value);
    m_config.setValue("list", 0, true, Config2::INT, list, &count);
    EXPECT_FALSE(read("s"));
    EXPECT_EQ(42, value);
    EXPECT_EQ(3, count);
}

TEST_F(Config2Test, ConfigOptionSelectsTheFileBeforeItIsRead) {
    writeConfig("<s><v>default file</v></s>");
    const std::string other = m_dir.write("other.xml", "<c><s><v>other file</v></s></c>");
    std::string file;
    std::string v;
    m_config.setValue("config", 'c', true, Config2::STRING, &file);
    m_config.setValue("v", 0, true, Config2::STRING, &v);
    ASSERT_TRUE(read("s", {"-c", other}));
    EXPECT_EQ("other file", v);
    EXPECT_EQ(other, file);
    EXPECT_EQ(other, m_config.confFile());
}

TEST_F(Config2Test, LongConfigOptionWorksWithoutADeclaredKey) {
    const std::string other = m_dir.write("other.xml", "<c><s><v>other file</v></s></c>");
    m_config.setConfFile(m_dir.file("absent.xml"));
    std::string v;
    m_config.setValue("v", 0, true, Config2::STRING, &v);
    ASSERT_TRUE(read("s", {"--config", other}));
    EXPECT_EQ("other file", v);
}

TEST_F(Config2Test, UnknownOptionsAndMissingValuesAreErrors) {
    writeConfig("<s/>");
    int id = 0;
    m_config.setValue("n", 'n', true, Config2::INT, &id);
    m_config.setValue("long", 0, true, Config2::INT, &id);
    ASSERT_TRUE(read("s", {"-n", "2", "--bogus", "-q", "--long"}));
    EXPECT_EQ(2, id);
    EXPECT_EQ((std::vector<std::string>{"command line: --bogus: unknown option", "command line: -q: unknown option",
                                        "command line: --long: needs a value"}),
              m_config.errors());
}

TEST_F(Config2Test, ListFromTheCommandLineCountsWhatWasGiven) {
    writeConfig("<s><was>f:1</was><was>f:2</was><was>f:3</was></s>");
    std::string was[3];
    int count = 3;
    m_config.setValue("was", 0, true, Config2::STRING, was, &count);
    ASSERT_TRUE(read("s", {"--was", "c:1"}));
    EXPECT_EQ(1, count);
    EXPECT_EQ("c:1", was[0]);
    EXPECT_EQ("", was[1]);
}

TEST_F(Config2Test, OneReaderServesSeveralSections) {
    writeConfig("<ping><cycle>300</cycle></ping><ghost><cycle>60</cycle></ghost>");
    int ping = 0;
    int ghost = 0;
    m_config.setValue("cycle", 0, true, Config2::INT, &ping);
    ASSERT_TRUE(read("ping"));
    m_config.clearItems();
    m_config.setValue("cycle", 0, true, Config2::INT, &ghost);
    ASSERT_TRUE(read("ghost"));
    EXPECT_EQ(300, ping);
    EXPECT_EQ(60, ghost);
}

TEST_F(Config2Test, MalformedFileIsAnErrorAndUnknownElementsAWarning) {
    m_config.setConfFile(m_dir.write("broken.xml", "<c><s><a>1</a>\n<typo>2</typo><b>2</c>"));
    int a = 0;
    m_config.setValue("a", 0, true, Config2::INT, &a);
    ASSERT_TRUE(read("s"));
    EXPECT_EQ(1, a);
    const std::string file = m_config.confFile();
    EXPECT_EQ((std::vector<std::string>{file + ":2: not well-formed XML: mismatched tag"}), m_config.errors());
    EXPECT_EQ((std::vector<std::string>{file + ":2: <typo>: unknown in <s>, ignored"}), m_config.warnings());
}

}  // namespace
