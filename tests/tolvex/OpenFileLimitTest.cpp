// tolvexd sets its own descriptor limit at start, whatever soft limit it was
// started with, and says so in the command log.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

#include "support/Process.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

unsigned long long hardLimit() {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_max != RLIM_INFINITY) return lim.rlim_max;
    unsigned long long nrOpen = 1048576;
    std::ifstream("/proc/sys/fs/nr_open") >> nrOpen;
    return nrOpen;
}

// The soft "Max open files" of a running process.
unsigned long long softLimitOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Max open files", 0) != 0) continue;
        std::istringstream fields(line.substr(std::string("Max open files").size()));
        unsigned long long soft = 0;
        fields >> soft;
        return soft;
    }
    return 0;
}

struct limit_case_t {
    const char* name;
    const char* iotype;
    int maxOpenFiles;  // 0: key not set
};

void PrintTo(const limit_case_t& c, std::ostream* os) { *os << c.name; }

class OpenFileLimitTest : public ::testing::TestWithParam<limit_case_t> {
protected:
    // The daemon inherits this process's soft limit: start it low.
    void SetUp() override {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        if (m_saved.rlim_max <= kStartSoft) GTEST_SKIP() << "hard limit " << m_saved.rlim_max << " leaves nothing to raise";
        rlimit low = m_saved;
        low.rlim_cur = kStartSoft;
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    }
    void TearDown() override {
        if (m_daemon && m_daemon->running()) {
            m_daemon->signal(SIGTERM);
            m_daemon->waitExit(10000);
        }
        setrlimit(RLIMIT_NOFILE, &m_saved);
    }

    void start(const limit_case_t& c) {
        fs::create_directory(m_dir.file("log"));
        std::string common = "<servicebindaddr>127.0.0.1:" + std::to_string(freeTcpPort()) + "</servicebindaddr>" +
                             "<cmdlogpath>" + m_dir.file("log") + "</cmdlogpath><iotype>" + c.iotype + "</iotype>";
        if (c.maxOpenFiles > 0) common += "<max_open_files>" + std::to_string(c.maxOpenFiles) + "</max_open_files>";
        m_dir.write("config.xml", "<?xml version=\"1.0\"?><config><tolvexd>" + common +
                                      "<log_flush_ms>0</log_flush_ms><was_timeout_sec>2</was_timeout_sec></tolvexd>"
                                      "<trace><tracelogpath>/dev/null</tracelogpath></trace>"
                                      "<waslist><was>127.0.0.1:9</was></waslist></config>");
        m_daemon = std::make_unique<Process>(binPath("tolvexd"), std::vector<std::string>{"-c", m_dir.file("config.xml")},
                                             m_dir.path());
    }
    std::string commandLog() const {
        std::string text;
        for (const auto& entry : fs::directory_iterator(m_dir.file("log")))
            if (entry.path().filename().string().rfind("zpx_00.", 0) == 0) text += m_dir.read("log/" + entry.path().filename().string());
        return text;
    }
    bool waitForCommandLog(const std::string& text) {
        return waitFor([&] { return commandLog().find(text) != std::string::npos; }, 10000);
    }

    static constexpr rlim_t kStartSoft = 256;
    rlimit m_saved{};
    TempDir m_dir;
    std::unique_ptr<Process> m_daemon;
};

TEST_P(OpenFileLimitTest, SetsItsOwnLimitAndLogsIt) {
    const limit_case_t& c = GetParam();
    const unsigned long long hard = hardLimit();
    const unsigned long long wanted = c.maxOpenFiles > 0 ? static_cast<unsigned long long>(c.maxOpenFiles) : hard;
    if (wanted > hard) GTEST_SKIP() << "max_open_files " << wanted << " is above the hard limit " << hard;
    start(c);

    const std::string line = "descriptor limit: soft 256 raised to " + std::to_string(wanted) + " (hard limit " +
                             std::to_string(hard) + ")";
    ASSERT_TRUE(waitForCommandLog(line)) << commandLog() << m_daemon->stderrText();
    EXPECT_EQ(wanted, softLimitOf(m_daemon->pid()));

    const std::string select = "iotype select watches descriptors below 1024 only, and the descriptor limit is " +
                               std::to_string(wanted);
    if (std::string(c.iotype) == "select" && wanted > 1024)
        EXPECT_TRUE(waitForCommandLog("warning: " + select)) << commandLog();
    else
        EXPECT_EQ(std::string::npos, commandLog().find("iotype select watches")) << commandLog();
}

INSTANTIATE_TEST_SUITE_P(Cases, OpenFileLimitTest,
                         ::testing::Values(limit_case_t{"HardLimit", "epoll", 0},
                                           limit_case_t{"MaxOpenFiles", "poll", 1000},
                                           limit_case_t{"SelectAboveItsReach", "select", 0},
                                           limit_case_t{"SelectWithinItsReach", "select", 1024}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
