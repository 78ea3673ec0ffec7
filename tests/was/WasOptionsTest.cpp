#include "was/WasOptions.h"

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace {

class WasOptionsTest : public ::testing::Test {
protected:
    bool parse(std::vector<std::string> args) {
        args.insert(args.begin(), "tolvex-was");
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        return parseWasOptions(static_cast<int>(argv.size()), argv.data(), m_options, m_error);
    }
    std::string writeConfig(const std::string& waslist) {
        return m_dir.write("config.xml", "<?xml version=\"1.0\"?>\n<config>\n"
                                         "<tolvexd><was_leave>/not/this</was_leave></tolvexd>\n"
                                         "<waslist>" + waslist + "</waslist>\n</config>\n");
    }

    TempDir m_dir;
    was_options_t m_options;
    std::string m_error;
};

TEST_F(WasOptionsTest, DefaultsMatchTheShippedDaemonConfiguration) {
    ASSERT_TRUE(parse({}));
    EXPECT_EQ("127.0.0.1", m_options.host);
    EXPECT_EQ(7080, m_options.port);
    EXPECT_EQ("var/was.db", m_options.dbPath);
    EXPECT_EQ("/was/saveMessage", m_options.server.pages.saveMsg);
    EXPECT_EQ("/was/sendFailUser", m_options.server.pages.sendFailUser);
}

TEST_F(WasOptionsTest, TheDaemonsWaslistSetsPagesAndAddress) {
    std::string path = writeConfig(
        "<was>10.1.2.3:9000</was><was>10.1.2.4:9000</was>\n"
        "<was_leave> /php/leave.php </was_leave><pages><was_endroom>/php/end.php</was_endroom>"
        "</pages><was_load_room></was_load_room>");
    ASSERT_TRUE(parse({"--config", path})) << m_error;

    EXPECT_EQ("10.1.2.3", m_options.host);
    EXPECT_EQ(9000, m_options.port);
    EXPECT_EQ("/php/leave.php", m_options.server.pages.leave);
    EXPECT_EQ("/php/end.php", m_options.server.pages.endRoom);
    EXPECT_EQ("/was/loadRoom", m_options.server.pages.loadRoom);  // empty keeps the default
}

TEST_F(WasOptionsTest, CommandLineWinsOverTheConfigurationFile) {
    std::string path = writeConfig("<was>10.1.2.3:9000</was><was_leave>/php/leave.php</was_leave>");
    ASSERT_TRUE(parse({"--was_leave", "/mine/leave", "--listen=0.0.0.0:7081", "--config", path}));

    EXPECT_EQ("/mine/leave", m_options.server.pages.leave);
    EXPECT_EQ("0.0.0.0", m_options.host);
    EXPECT_EQ(7081, m_options.port);
}

TEST_F(WasOptionsTest, BadInputIsRefusedWithAReason) {
    EXPECT_FALSE(parse({"--listen", "localhost"}));
    EXPECT_NE(std::string::npos, m_error.find("HOST:PORT"));
    EXPECT_FALSE(parse({"--was_nothing", "/x"}));
    EXPECT_FALSE(parse({"--threads", "0"}));
    EXPECT_FALSE(parse({"--commit-window-us", "-1"}));
    EXPECT_FALSE(parse({"--commit-batch", "0"}));
    EXPECT_FALSE(parse({"--db"}));
    EXPECT_FALSE(parse({"--config", m_dir.file("missing.xml")}));
    EXPECT_FALSE(parse({"--config", m_dir.write("bad.xml", "<waslist><was>")}));
}

// The benchmark's baseline: every request its own commit.
TEST_F(WasOptionsTest, AZeroCommitWindowTurnsBatchingOff) {
    ASSERT_TRUE(parse({"--commit-window-us", "0", "--commit-batch=8"})) << m_error;
    EXPECT_EQ(0, m_options.commit.window.count());
    EXPECT_EQ(8u, m_options.commit.maxBatch);
}

TEST_F(WasOptionsTest, RepeatableAndFlagOptions) {
    ASSERT_TRUE(parse({"--no-device", "a", "--no-device", "b", "--dump", "--rooms-per-page", "7"}));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), m_options.noDeviceUsers);
    EXPECT_TRUE(m_options.dump);
    EXPECT_EQ(7u, m_options.server.roomsPerPage);
}

}  // namespace
