#include "net/UDSListener.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "SocketHelpers.h"
#include "support/LoopDriver.h"
#include "support/TempDir.h"

namespace {

class KeepingUDSListener : public UDSListener {
public:
    void acceptEvent(int fd, sockaddr_un*) override { accepted.emplace_back(fd); }
    std::vector<UniqueFd> accepted;
};

class UDSListenerTest : public LoopFixture {
protected:
    int listenAt(const std::string& path) {
        if (m_listener.setPath(path.c_str()) != 0) return -1;
        m_listener.setAcceptCount(10);
        return m_listener.init();
    }

    UniqueFd connectTo(const std::string& path) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        path.copy(sa.sun_path, sizeof sa.sun_path - 1);
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) fd.reset();
        return fd;
    }

    // A socket file such as a crashed earlier run leaves behind.
    void leaveStaleSocketFile(const std::string& path) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        path.copy(sa.sun_path, sizeof sa.sun_path - 1);
        ASSERT_EQ(0, ::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa));
    }

    bool isSocketFile(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
    }

    TempDir m_dir;
    KeepingUDSListener m_listener;
};

TEST_F(UDSListenerTest, AcceptsConnectionsOnItsPath) {
    const std::string path = m_dir.file("svc.sock");
    ASSERT_EQ(0, listenAt(path));
    UniqueFd client = connectTo(path);
    ASSERT_GE(client.get(), 0);
    EXPECT_TRUE(runUntil([&] { return m_listener.accepted.size() == 1; }));
}

TEST_F(UDSListenerTest, PathLeftByAnEarlierRunIsReused) {
    const std::string path = m_dir.file("stale.sock");
    leaveStaleSocketFile(path);
    ASSERT_TRUE(isSocketFile(path));

    ASSERT_EQ(0, listenAt(path));
    UniqueFd client = connectTo(path);
    ASSERT_GE(client.get(), 0);
    EXPECT_TRUE(runUntil([&] { return m_listener.accepted.size() == 1; }));
}

TEST_F(UDSListenerTest, RegularFileAtThePathIsNeitherRemovedNorBound) {
    const std::string path = m_dir.write("data.txt", "keep me");
    EXPECT_EQ(-1, listenAt(path));
    EXPECT_EQ("keep me", m_dir.read("data.txt"));
}

TEST_F(UDSListenerTest, PathLongerThanTheAddressCanHoldIsRefused) {
    const std::string longest = m_dir.path() + "/" + std::string(UDSListener::kMaxPath - m_dir.path().size() - 1, 'p');
    ASSERT_EQ(UDSListener::kMaxPath, longest.size());
    EXPECT_EQ(0, m_listener.setPath(longest.c_str()));
    EXPECT_EQ(-1, m_listener.setPath((longest + "q").c_str()));
    EXPECT_EQ(-1, m_listener.init());
    EXPECT_EQ(-1, m_listener.getSockfd());
}

TEST_F(UDSListenerTest, ErrorEventBindsThePathAnew) {
    const std::string path = m_dir.file("again.sock");
    ASSERT_EQ(0, listenAt(path));
    Poller::PollEvent ev;
    ev.fd = m_listener.getSockfd();
    ev.revents = Poller::EV_HANGUP;
    ev.client = &m_listener;
    m_listener.notifyPollEvent(&ev);

    ASSERT_GE(m_listener.getSockfd(), 0);
    UniqueFd client = connectTo(path);
    ASSERT_GE(client.get(), 0);
    EXPECT_TRUE(runUntil([&] { return m_listener.accepted.size() == 1; }));
}

}  // namespace
