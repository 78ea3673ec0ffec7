#pragma once
// One run of tolvex-cli: connects, opens the room (a join, after a room init
// with --create, with the retries a join of a room not yet in memory needs
// and a ping to tell a silent tolvexd from another server), then either sends
// one message and waits for its report, or chats with standard input in a
// single poll() loop over the socket and stdin. Acknowledges what it
// receives the way a real client does. Owns its connection; one thread.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

#include "cli/CliCommand.h"
#include "cli/CliOptions.h"
#include "cli/DeliveryTracker.h"
#include "cli/EventPrinter.h"
#include "cli/Roster.h"
#include "client/ChatClient.h"

namespace cli {

class CliSession {
public:
    using Clock = std::chrono::steady_clock;
    // How long input that ended waits for the delivery reports still due.
    static constexpr std::chrono::seconds kEndOfInputGrace{3};
    // How long a join waits for its reply before asking again: a room that
    // is not in memory gets no reply while the daemon reloads it.
    static constexpr std::chrono::milliseconds kJoinRetry{1000};
    // Unanswered joins before the room counts as not found.
    static constexpr int kJoinAttempts = 4;
    // How long a server that left the first join unanswered has to answer a
    // ping before it counts as no tolvexd.
    static constexpr std::chrono::milliseconds kPingWait{1000};
    // How long the end of a run waits for the daemon to close its side.
    static constexpr std::chrono::milliseconds kCloseWait{1000};

    // out takes the conversation, err the tool's own complaints.
    CliSession(cli_options_t options, std::FILE* out, std::FILE* err);
    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;

    // Everything after the command line; returns the exit status.
    int run();

private:
    enum class open_t { kOpen, kRefused, kNotReady, kClosed, kTimedOut, kNotChatServer };

    // With --directory: points m_options at the daemon that holds the room.
    void chooseDaemon();
    int openAndChat(Clock::time_point deadline);
    // Half-closes and waits for the daemon's close, so it reads everything sent.
    void closeGently();
    // Creates (--create) and joins the room; the roster then holds its members.
    open_t openRoom(Clock::time_point deadline);
    // AUTH with the token, when there is one.
    open_t authenticate(Clock::time_point deadline);
    // The token from --token, --token-file or --was-token-url into
    // m_options.token; false after complaining.
    bool obtainToken();
    open_t createRoom(Clock::time_point deadline);
    // joined, when given, receives the decoded reply.
    open_t joinRoom(Clock::time_point deadline, client::JoinReply* joined = nullptr);
    // False when no pong came within kPingWait (or by deadline).
    bool answersPing(Clock::time_point deadline);
    // The next packet with code, handling the not-ready notice and a close;
    // other packets are handled as usual once the room is open.
    open_t awaitReply(uint16_t code, Clock::time_point deadline, client::Packet* out);
    int reportOpenFailure(open_t why);

    int runOneShot(Clock::time_point deadline);
    int runInteractive();
    // Polls the socket (and stdin when asked) until done() holds, the run
    // finished or deadline passed.
    template <typename Done>
    void loop(Done done, bool withInput, const Clock::time_point* deadline);
    void handlePending();
    void readInput();
    void handleLine(const LineBuffer::line_t& line);
    void runCommand(const cli_command_t& c);

    void handle(const client::Packet& p);
    void onRelay(const client::Packet& p);
    void onAttachRelay(const client::Packet& p);
    void onJoinAlarm(const client::Packet& p);
    void onLeaveAlarm(const client::Packet& p);
    void onForceLeave(const client::Packet& p);
    void onSessionClose(const client::Packet& p);
    void onTyping(const client::Packet& p);
    void onAccepted(const client::Packet& p);
    void onResult(const client::Packet& p);
    void onInviteReply(const client::Packet& p);
    void onOther(const client::Packet& p);
    void checkClosed();

    void sendMessage(const std::string& text, uint32_t trid);
    void sendAttach(const cli_command_t& c);
    void sendInvite(const std::vector<std::string>& ids);
    void sendKick(const std::string& id);
    void sendTyping(bool on);
    void leaveRoom();
    // A request that could not be written ends the run.
    void requireSent(bool ok);

    // Ends the run with status; the first reason given wins.
    void finish(int status);
    void print(const std::string& text);
    void complain(const std::string& text);
    std::string roomText() const { return "room " + std::to_string(m_options.roomId); }

    cli_options_t m_options;
    std::FILE* m_out;
    std::FILE* m_err;
    uint16_t m_osType;
    client::ChatClient m_client;
    Roster m_roster;
    EventPrinter m_printer{m_roster};
    DeliveryTracker m_tracker;
    std::deque<client::Packet> m_early;  // arrived while the room was being opened
    uint16_t m_roomKind = 0;
    bool m_roomExisted = false;  // --create found the room already there
    LineBuffer m_input;
    bool m_inputEnded = false;
    bool m_finished = false;
    bool m_closeExpected = false;  // the daemon said it would close: no complaint when it does
    int m_status = kExitOk;
};

}  // namespace cli
