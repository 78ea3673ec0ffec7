#pragma once
// Runs the real build/bin/tolvexd for one loopback test: a configuration in
// a fresh temporary directory (a free loopback port, the logs beside it, the
// chosen poller, a FakeWas as its only WAS server with a page path per job
// and an empty not-ended room list),
// the start with a wait until it serves, its logs, and a SIGTERM stop that
// should end with exit status 0. Test thread only.

#include <memory>
#include <string>
#include <vector>

#include "support/FakeWas.h"
#include "support/TempDir.h"

class Process;

class DaemonHarness {
public:
    // Members all have initializers, so tests name only what they change:
    // DaemonHarness d({.iotype = "poll"}).
    struct Options {
        std::string iotype = "epoll";
        int serverId = 0;
        int wasTimeoutSec = 2;
        int relayAckTimeoutSec = 10;
        int resultAckTimeoutSec = 30;
        std::string extraCommon{};        // more elements for the <tolvexd> section
        std::vector<std::string> args{};  // more command-line arguments
        std::string extraSections{};      // more sections of <config> (room_timeout_list, ...)
        std::vector<std::string> env{};   // "NAME=value" for the daemon's environment
        // start() also waits until the rooms are loaded, so the daemon serves
        // requests instead of answering them with the not-ready notice.
        bool waitForRooms = true;
        // "host:port" of another WAS (the real tolvex-was) instead of the
        // fake; several, separated by spaces, make a waslist of them.
        std::string wasAddress{};
    };

    // The page path configured for each WAS job.
    static constexpr const char* kSaveMsgPage = "/was/save_msg";
    static constexpr const char* kMobilePushPage = "/was/mobile_push";
    static constexpr const char* kLeavePage = "/was/leave";
    static constexpr const char* kEndRoomPage = "/was/endroom";
    static constexpr const char* kNotEndRoomPage = "/was/not_endroom";
    static constexpr const char* kLoadRoomPage = "/was/load_room";
    static constexpr const char* kUpdateMsgSendPage = "/was/update_msgsend";
    static constexpr const char* kInviteRequestPage = "/was/invite_request";
    static constexpr const char* kSendFailUserPage = "/was/sendfailuser_request";

    DaemonHarness() : DaemonHarness(Options()) {}
    explicit DaemonHarness(Options options);
    DaemonHarness(const DaemonHarness&) = delete;
    DaemonHarness& operator=(const DaemonHarness&) = delete;
    // A daemon still running is stopped (SIGTERM, then SIGKILL).
    ~DaemonHarness();

    // Writes the configuration, starts the daemon and waits until it has
    // bound its port and opened its logs (and loaded its rooms, unless the
    // options say not to). False, with startError(), when it
    // did not come up within timeoutMs (a port taken meanwhile is retried).
    bool start(int timeoutMs = 15000);
    // SIGTERM, then the exit status; -1 when it did not exit within timeoutMs.
    int stop(int timeoutMs = 10000);
    // SIGKILL, as a crash would end it; start() brings it back on the same
    // folder (logs, journal).
    void kill();
    bool running() const;
    // Sends signo (SIGUSR2: re-read the configuration file); false when not running.
    bool signal(int signo);

    const char* host() const { return "127.0.0.1"; }
    int port() const { return m_port; }
    FakeWas& was() { return m_was; }
    const TempDir& dir() const { return m_dir; }
    const std::string& startError() const { return m_startError; }
    std::string stderrText() const;

    // The whole command log ("zpx_NN") and chat log ("chat_NN"), every dated
    // file of each in name order; empty before the first line.
    std::string commandLog() const;
    std::string chatLog() const;
    // The statistics log ("zpxstat_NN").
    std::string statLog() const;
    // Occurrences of text in the command log.
    int countInCommandLog(const std::string& text) const;
    // True once the command log holds text at least count times.
    bool waitForCommandLog(const std::string& text, int count = 1, int timeoutMs = 10000) const;

private:
    std::string configXml() const;
    std::string readLogs(const std::string& stem) const;
    bool startOnce(int timeoutMs, bool samePort);

    Options m_options;
    TempDir m_dir;
    FakeWas m_was;
    int m_port = 0;
    std::unique_ptr<Process> m_process;
    std::string m_startError;
};
