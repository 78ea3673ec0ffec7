#include "cli/CliSession.h"

#include "client/TokenFetch.h"
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "cli/RoomDirectory.h"
#include "client/TokenFetch.h"

namespace cli {

namespace {

int msUntil(CliSession::Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CliSession::Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1000));
}

CliSession::Clock::time_point after(double seconds) {
    return CliSession::Clock::now() +
           std::chrono::duration_cast<CliSession::Clock::duration>(std::chrono::duration<double>(seconds));
}

std::string codeText(uint16_t code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04X", code);
    return buf;
}

// A refusal's reply carries nothing but its u16 result.
uint16_t refusalResult(const client::Packet& reply) {
    if (reply.body.size() != 2) return client::RES_INVALID_CMD;
    return static_cast<uint16_t>(static_cast<unsigned char>(reply.body[0]) |
                                 static_cast<unsigned char>(reply.body[1]) << 8);
}

}  // namespace

CliSession::CliSession(cli_options_t options, std::FILE* out, std::FILE* err)
    : m_options(std::move(options)),
      m_out(out),
      m_err(err),
      m_osType(m_options.mobile ? client::OS_TYPE_MOBILE : client::OS_TYPE_PC),
      m_roster(m_options.userId) {}

int CliSession::run() {
    const auto deadline = after(m_options.timeoutSec);
    if (!obtainToken()) return kExitFailed;
    if (m_options.directoryPort != 0) chooseDaemon();
    const auto connectWithin = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(std::min(m_options.timeoutSec, 10.0)));
    const int err = m_options.tls ? m_client.connectTls(m_options.host, m_options.port, {.caFile = m_options.caFile},
                                                        connectWithin)
                                  : m_client.connect(m_options.host, m_options.port, connectWithin);
    if (err != 0) {
        complain("cannot reach the server at " + m_options.host + ":" + std::to_string(m_options.port) + ": " +
                 (err == EHOSTUNREACH         ? "unknown host or no route"
                  : err == EPROTO && m_options.tls ? "TLS: " + m_client.tlsError()
                                                   : std::string(std::strerror(err))));
        return kExitUnreachable;
    }
    const int status = openAndChat(deadline);
    closeGently();
    return status;
}

void CliSession::chooseDaemon() {
    const std::string server = m_options.host + ":" + std::to_string(m_options.port);
    const std::string directory = (m_options.directoryTls ? "https://" : "") + m_options.directoryHost + ":" +
                                  std::to_string(m_options.directoryPort);
    const room_holder_t holder = lookUpRoomHolder(m_options.directoryHost, m_options.directoryPort,
                                                  m_options.roomId, tenantOf(m_options.userId),
                                                  std::min(m_options.timeoutSec, 5.0), m_options.directoryTls,
                                                  m_options.caFile);
    switch (holder.kind) {
        case room_holder_t::Kind::kHeld:
            // A daemon without a service_ip reports none; it is then taken
            // to be on the host given for --server.
            if (!holder.daemonIp.empty()) m_options.host = holder.daemonIp;
            m_options.port = holder.daemonPort;
            complain(roomText() + " is served by " + m_options.host + ":" + std::to_string(m_options.port) +
                     " (directory " + directory + ")");
            return;
        case room_holder_t::Kind::kNotHeld:
            complain(roomText() + " is held by no daemon yet; using " + server);
            return;
        case room_holder_t::Kind::kNotFound:
            complain(roomText() + " is not known to the directory; using " + server);
            return;
        case room_holder_t::Kind::kFailed:
            complain("the directory at " + directory + " gave no answer (" + holder.error + "); using " + server);
            return;
    }
}

int CliSession::openAndChat(Clock::time_point deadline) {
    if (open_t result = openRoom(deadline); result != open_t::kOpen) return reportOpenFailure(result);
    const bool created = m_options.create && !m_roomExisted;
    if (m_roomExisted)
        complain(roomText() + " already exists, so it was not created; you are in it with its members");
    // A room just made lists everybody it was made for; an existing room
    // lists who is there, and the invitation notices follow.
    if (created && !m_options.invitees.empty()) sendInvite(m_options.invitees);
    print(m_printer.members(m_options.roomId, m_roomKind, time(nullptr)));
    if (m_roomExisted && m_options.oneShot) {
        // The message was meant for a new room's members, not for whoever
        // is in the existing one.
        complain("nothing sent and nobody invited; leave out --create to send to " + roomText());
        return kExitFailed;
    }
    if (!created && !m_options.invitees.empty()) sendInvite(m_options.invitees);
    return m_options.oneShot ? runOneShot(deadline) : runInteractive();
}

void CliSession::closeGently() {
    if (!m_client.connected() || m_client.closed()) return;
    // Closing with unread input would reset the connection, and the daemon
    // could lose the last acknowledgements sent. Say "no more" instead and
    // let the daemon close once it has read everything.
    ::shutdown(m_client.fd(), SHUT_WR);
    m_client.waitClosed(kCloseWait);
    m_client.close();
}

void CliSession::requireSent(bool ok) {
    if (ok || m_finished) return;
    if (!m_client.closed()) complain("the connection to the server failed while sending");
    checkClosed();
    finish(kExitFailed);
}

// ---------------------------------------------------------------- opening

bool CliSession::obtainToken() {
    std::string error;
    if (!m_options.tokenFile.empty() && !client::readFirstLine(m_options.tokenFile, &m_options.token, &error)) {
        complain("--token-file " + error);
        return false;
    }
    if (!m_options.wasTokenUrl.empty()) {
        std::string apiKey;
        if (!client::readFirstLine(m_options.apiKeyFile, &apiKey, &error) ||
            !client::fetchToken(m_options.wasTokenUrl, apiKey, m_options.userId, m_options.roomId, m_options.mobile,
                        std::min(m_options.timeoutSec, 5.0), &m_options.token, &error)) {
            complain("no token: " + error);
            return false;
        }
    }
    return true;
}

CliSession::open_t CliSession::authenticate(Clock::time_point deadline) {
    if (m_options.token.empty()) return open_t::kOpen;
    if (!m_client.sendAuth({m_options.token})) return open_t::kClosed;
    client::Packet reply;
    if (open_t r = awaitReply(client::AUTH_REPLY, deadline, &reply); r != open_t::kOpen) return r;
    const auto decoded = client::decodeAuthReply(reply);
    if (decoded && decoded->result == client::AUTH_RES_ACCEPTED) return open_t::kOpen;
    static const char* const kWhy[] = {"accepted", "malformed", "bad signature or unknown key",
                                       "expired or not yet valid", "unknown device kind", "the server has no keys",
                                       "already authenticated"};
    const uint16_t result = decoded ? decoded->result : refusalResult(reply);
    complain(std::string("the token was refused: ") + (result < std::size(kWhy) ? kWhy[result] : "unknown result") +
             " (result " + std::to_string(result) + ")");
    // With no keys and tokens optional, the daemon goes on without one.
    if (result == client::AUTH_RES_NO_KEYS) return open_t::kOpen;
    m_closeExpected = true;
    return open_t::kRefused;
}

CliSession::open_t CliSession::openRoom(Clock::time_point deadline) {
    if (open_t r = authenticate(deadline); r != open_t::kOpen) return r;
    if (!m_options.create) return joinRoom(deadline);
    if (open_t r = createRoom(deadline); r != open_t::kOpen) return r;
    // The room init's reply is the same for a room that was already there:
    // the daemon adds the creator to it. A join on the same connection
    // lists the real members and the room's message number; a new room has
    // the creator alone and no message yet (the invitations go out later).
    client::JoinReply joined;
    if (open_t r = joinRoom(deadline, &joined); r != open_t::kOpen) return r;
    m_roomExisted = joined.members.size() > 1 || joined.currentMsgNum != 0;
    // The kind reported is that of a room of one; the invitations decide it.
    if (!m_roomExisted) m_roomKind = 0;
    return open_t::kOpen;
}

CliSession::open_t CliSession::createRoom(Clock::time_point deadline) {
    client::RoomInitRequest init;
    init.roomId = m_options.roomId;
    init.creatorId = m_options.userId;
    init.creatorName = m_options.name;
    init.osType = m_osType;
    // Invitations go out on their own once the room is known to be new.
    if (!m_client.sendRoomInit(init)) return open_t::kClosed;
    client::Packet reply;
    if (open_t r = awaitReply(client::ROOM_CREATE_REPLY, deadline, &reply); r != open_t::kOpen) return r;
    const auto decoded = client::decodeRoomInitReply(reply);
    if (!decoded || decoded->result != client::RES_SUCCESS) {
        const uint16_t result = decoded ? decoded->result : refusalResult(reply);
        complain("cannot open " + roomText() + ": " + joinResultText(result) + " (result " + std::to_string(result) +
                 ")");
        return open_t::kRefused;
    }
    return open_t::kOpen;
}

CliSession::open_t CliSession::joinRoom(Clock::time_point deadline, client::JoinReply* joined) {
    const client::JoinRequest join{m_options.roomId, m_options.userId, m_options.name, m_osType};
    client::Packet reply;
    for (int attempt = 1;; ++attempt) {
        if (!m_client.sendJoin(join)) return open_t::kClosed;
        const open_t r = awaitReply(client::USER_JOIN_REPLY, std::min(deadline, Clock::now() + kJoinRetry), &reply);
        if (r == open_t::kOpen) break;
        if (r != open_t::kTimedOut || Clock::now() >= deadline) return r;
        if (attempt == 1 && !answersPing(deadline))
            return m_client.closed() && !m_client.protocolError() ? open_t::kClosed : open_t::kNotChatServer;
        if (attempt == kJoinAttempts) {
            // Every join went unanswered: the daemon looked for the room at
            // the WAS each time and did not find it.
            complain("cannot join " + roomText() + ": " + joinResultText(client::JOIN_RES_NOT_EXIST_ROOM) +
                     " (result 100: no reply after " + std::to_string(kJoinAttempts) + " attempts)");
            return open_t::kRefused;
        }
    }
    const auto decoded = client::decodeJoinReply(reply);
    if (!decoded || decoded->result != client::RES_SUCCESS) {
        const uint16_t result = decoded ? decoded->result : refusalResult(reply);
        complain("cannot join " + roomText() + ": " + joinResultText(result) + " (result " + std::to_string(result) +
                 ")");
        return open_t::kRefused;
    }
    for (const client::member_t& m : decoded->members) m_roster.add(m.userId, m.nameInfo);
    m_roster.add(m_options.userId, m_options.name);
    m_roomKind = decoded->roomKind;
    if (joined) *joined = *decoded;
    return open_t::kOpen;
}

bool CliSession::answersPing(Clock::time_point deadline) {
    const auto until = std::min(deadline, Clock::now() + kPingWait);
    return m_client.ping(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()));
}

CliSession::open_t CliSession::awaitReply(uint16_t code, Clock::time_point deadline, client::Packet* out) {
    for (;;) {
        std::optional<client::Packet> p = m_client.receive(deadline);
        if (!p && m_client.protocolError()) return open_t::kNotChatServer;
        if (!p) return m_client.closed() ? open_t::kClosed : open_t::kTimedOut;
        if (p->code == client::SERVER_NOT_READY_REPLY) return open_t::kNotReady;
        if (p->code == code) {
            *out = std::move(*p);
            return open_t::kOpen;
        }
        m_early.push_back(std::move(*p));
    }
}

int CliSession::reportOpenFailure(open_t why) {
    switch (why) {
        case open_t::kRefused:
            return kExitFailed;
        case open_t::kNotReady:
            complain("the server is still loading its rooms (notice 0x8C90); try again in a moment");
            return kExitNotReady;
        case open_t::kClosed:
            complain("the server closed the connection before " + roomText() + " was open" +
                     (m_client.closeReason().empty() ? "" : " (" + m_client.closeReason() + ")"));
            return kExitFailed;
        case open_t::kNotChatServer:
            complain("the server at " + m_options.host + ":" + std::to_string(m_options.port) +
                     " does not answer like tolvexd: " +
                     (m_client.protocolError() ? "its reply is not a valid packet (" + m_client.closeReason() + ")"
                                               : "neither the join nor a keep-alive ping got an answer"));
            return kExitNotChatServer;
        case open_t::kTimedOut:
        case open_t::kOpen:
            break;
    }
    complain("no answer from the server for " + roomText() + " within the timeout");
    return kExitFailed;
}

// ---------------------------------------------------------------- the two modes

int CliSession::runOneShot(Clock::time_point deadline) {
    const uint32_t trid = m_tracker.add(m_options.sendText, m_roster.others());
    sendMessage(m_options.sendText, trid);
    auto done = [&] {
        const outgoing_t* item = m_tracker.find(trid);
        return item->accepted && (!m_options.waitResult || m_tracker.settled(trid));
    };
    loop(done, false, &deadline);
    const outgoing_t* item = m_tracker.find(trid);
    if (!item->accepted) {
        if (!m_finished) complain("no MSG_ACK for the message within the timeout");
        return m_finished ? m_status : kExitFailed;
    }
    if (!m_options.waitResult) return kExitOk;
    print(m_printer.reportSummary(*item, m_tracker, m_options.timeoutSec));
    if (m_tracker.settled(trid)) return kExitOk;
    return m_finished ? m_status : kExitIncomplete;
}

int CliSession::runInteractive() {
    if (isatty(STDIN_FILENO)) print("type a message and press Enter; /help lists the commands");
    loop([] { return false; }, true, nullptr);
    if (m_finished) return m_status;
    // The input ended: give the reports still due a moment.
    const auto grace = Clock::now() + kEndOfInputGrace;
    loop([&] { return m_tracker.allSettled(); }, false, &grace);
    return m_finished ? m_status : kExitOk;
}

template <typename Done>
void CliSession::loop(Done done, bool withInput, const Clock::time_point* deadline) {
    for (;;) {
        handlePending();
        if (m_finished || done() || (withInput && m_inputEnded)) return;
        if (deadline && Clock::now() >= *deadline) return;
        pollfd fds[2] = {{m_client.fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const nfds_t count = withInput ? 2 : 1;
        const int rc = ::poll(fds, count, deadline ? msUntil(*deadline) : -1);
        if (rc < 0 && errno != EINTR) {
            complain(std::string("poll failed: ") + std::strerror(errno));
            finish(kExitFailed);
            return;
        }
        if (rc <= 0) continue;
        if (fds[0].revents) {
            while (std::optional<client::Packet> p = m_client.receive(Clock::now())) handle(*p);
            checkClosed();
        }
        if (withInput && fds[1].revents && !m_finished) readInput();
    }
}

void CliSession::handlePending() {
    while (!m_early.empty() && !m_finished) {
        const client::Packet p = std::move(m_early.front());
        m_early.pop_front();
        handle(p);
    }
    while (m_client.pendingCount() > 0 && !m_finished)
        if (std::optional<client::Packet> p = m_client.receive(Clock::now())) handle(*p);
    checkClosed();
}

void CliSession::checkClosed() {
    if (m_finished || !m_client.closed()) return;
    if (m_client.protocolError()) {
        complain("the server sent bytes that are not a valid packet (" + m_client.closeReason() + ")");
        finish(kExitNotChatServer);
        return;
    }
    if (!m_closeExpected) {
        const std::string& why = m_client.closeReason();
        complain("the server closed the connection" + (why.empty() || why == "closed by peer" ? "" : " (" + why + ")"));
    }
    finish(kExitFailed);
}

// ---------------------------------------------------------------- input

void CliSession::readInput() {
    char buf[4096];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n > 0) {
        m_input.feed(buf, static_cast<size_t>(n));
        while (!m_finished)
            if (std::optional<LineBuffer::line_t> line = m_input.next()) handleLine(*line);
            else break;
        return;
    }
    while (!m_finished)
        if (std::optional<LineBuffer::line_t> line = m_input.finish()) handleLine(*line);
        else break;
    m_inputEnded = true;
}

void CliSession::handleLine(const LineBuffer::line_t& line) {
    if (line.tooLong) {
        complain("input line longer than " + std::to_string(LineBuffer::kMaxLineBytes) + " bytes dropped");
        return;
    }
    runCommand(parseInputLine(line.text));
}

void CliSession::runCommand(const cli_command_t& c) {
    switch (c.kind) {
        case command_kind_t::kNone:
            return;
        case command_kind_t::kError:
            complain(c.error);
            return;
        case command_kind_t::kMessage:
            sendMessage(c.text, m_tracker.add(c.text, m_roster.others()));
            return;
        case command_kind_t::kInvite:
            sendInvite(c.ids);
            return;
        case command_kind_t::kKick:
            sendKick(c.ids.front());
            return;
        case command_kind_t::kAttach:
            sendAttach(c);
            return;
        case command_kind_t::kTyping:
            sendTyping(c.typing);
            return;
        case command_kind_t::kMembers:
            print(m_printer.members(m_options.roomId, m_roomKind, time(nullptr)));
            return;
        case command_kind_t::kHelp:
            print(commandHelp());
            return;
        case command_kind_t::kLeave:
            leaveRoom();
            return;
        case command_kind_t::kQuit:
            finish(kExitOk);
            return;
    }
}

// ---------------------------------------------------------------- requests

void CliSession::sendMessage(const std::string& text, uint32_t trid) {
    client::MsgRequest m;
    m.roomId = m_options.roomId;
    m.fromId = m_options.userId;
    m.fromName = m_options.name;
    m.fromOsType = m_osType;
    m.msg = text;
    m.trid = trid;
    requireSent(m_client.sendMsg(m));
}

void CliSession::sendAttach(const cli_command_t& c) {
    const std::vector<std::string> targets = m_roster.others();
    if (targets.empty()) {
        complain("nobody else is in the room to receive the file notice");
        return;
    }
    client::AttachRequest a;
    a.roomId = m_options.roomId;
    a.fromId = m_options.userId;
    a.fromName = m_options.name;
    a.fromOsType = m_osType;
    a.trid = m_tracker.add(c.fileName, targets, true);
    a.targets = targets;
    a.fileName = c.fileName;
    a.fileSize = c.fileSize;
    a.url = c.url;
    requireSent(m_client.sendAttach(a));
}

void CliSession::sendInvite(const std::vector<std::string>& ids) {
    client::InviteRequest r;
    r.roomId = m_options.roomId;
    for (const std::string& id : ids) {
        r.invitees.push_back({id, defaultName(id)});
        // Members from now on: the daemon handles the invitation before
        // anything this client sends after it.
        m_roster.add(id, m_roster.contains(id) ? "" : defaultName(id));
    }
    requireSent(m_client.sendInvite(r));
}

void CliSession::sendKick(const std::string& id) {
    if (id == m_options.userId) {
        complain("use /leave to leave the room");
        return;
    }
    // The daemon answers a removal of a non-member as if it had happened.
    // The roster is the join reply's list kept up to date by the notices,
    // so it knows better.
    if (!m_roster.contains(id)) {
        complain(displayText(id) + " is not a member; nothing changed");
        return;
    }
    client::ForceLeaveRequest r;
    r.roomId = m_options.roomId;
    r.fromId = m_options.userId;
    r.fromName = m_options.name;
    r.fromOsType = m_osType;
    r.toId = id;
    r.toName = m_roster.nameOf(id);
    requireSent(m_client.sendForceLeave(r));
}

void CliSession::sendTyping(bool on) {
    client::TypingRequest t;
    t.roomId = m_options.roomId;
    t.userId = m_options.userId;
    t.state = on ? 1 : 0;
    requireSent(m_client.sendTyping(t));
}

void CliSession::leaveRoom() {
    client::LeaveRequest r{m_options.roomId, m_options.userId, m_options.name, m_osType};
    m_closeExpected = true;
    if (m_client.sendLeave(r)) {
        // The daemon closes the connection once the leave is done; closing
        // first could reset the connection before it read the request.
        m_client.waitClosed(std::chrono::seconds(2));
    }
    // Appended rather than "[" + text: GCC 12's -Wrestrict misreads that
    // concatenation once inlined into an optimised build.
    std::string line = "[";
    line.append(clockText(time(nullptr))).append("] * you left ").append(roomText());
    print(line);
    finish(kExitOk);
}

// ---------------------------------------------------------------- packets

void CliSession::handle(const client::Packet& p) {
    switch (p.code) {
        case client::MSG_RELAY:
            return onRelay(p);
        case client::ATTACH_ALARM_RELAY:
            return onAttachRelay(p);
        case client::USER_JOIN_ALARM:
            return onJoinAlarm(p);
        case client::USER_LEAVE_ALARM:
            return onLeaveAlarm(p);
        case client::USER_FORCE_LEAVE_ALARM:
        case client::USER_FORCE_LEAVE_REPLY:
            return onForceLeave(p);
        case client::SESSION_CLOSE:
            return onSessionClose(p);
        case client::TYPING_ALARM:
            return onTyping(p);
        case client::MSG_ACK:
        case client::ATTACH_ACK:
            return onAccepted(p);
        case client::MSG_RESULT:
            return onResult(p);
        case client::USER_ADD_REPLY:
            return onInviteReply(p);
        case client::ROOM_CREATE_REPLY:
        case client::USER_JOIN_REPLY:
            // A late answer to a join sent again while the room loaded.
            if (!client::decodeInvalidCommand(p)) return;
            break;
        default:
            break;
    }
    onOther(p);
}

void CliSession::onRelay(const client::Packet& p) {
    const auto m = client::decodeMsgRelay(p);
    if (!m) return onOther(p);
    print(m_printer.message(*m));
    requireSent(m_client.sendRelayAck(client::RelayAck{m->roomId, m->msgNum, m_options.userId, m->trid, m_osType}));
}

void CliSession::onAttachRelay(const client::Packet& p) {
    const auto a = client::decodeAttachAlarmRelay(p);
    if (!a) return onOther(p);
    print(m_printer.attachment(*a));
    requireSent(
        m_client.sendAttachRelayAck(client::RelayAck{a->roomId, a->msgNum, m_options.userId, a->trid, m_osType}));
}

void CliSession::onJoinAlarm(const client::Packet& p) {
    const auto j = client::decodeUserJoinAlarm(p);
    if (!j) return onOther(p);
    m_roster.add(j->userId, j->nameInfo);
    print(m_printer.joined(*j));
}

void CliSession::onLeaveAlarm(const client::Packet& p) {
    auto l = client::decodeUserLeaveAlarm(p);
    if (!l) return onOther(p);
    // Removed from the room: the removal notice already said so.
    if (l->userId == m_options.userId && m_finished) return;
    if (l->nameInfo.empty()) l->nameInfo = m_roster.nameOf(l->userId);
    m_roster.remove(l->userId);
    print(m_printer.left(*l));
}

void CliSession::onForceLeave(const client::Packet& p) {
    const auto f = client::decodeForceLeave(p);
    if (!f) return onOther(p);
    if (p.code == client::USER_FORCE_LEAVE_REPLY) {
        m_roster.remove(f->toId);
        print(m_printer.removed(*f, time(nullptr)));
        return;
    }
    print(m_printer.removedBy(*f, time(nullptr)));
    m_closeExpected = true;
    finish(kExitFailed);
}

void CliSession::onSessionClose(const client::Packet& p) {
    const auto s = client::decodeSessionClose(p);
    if (!s) return onOther(p);
    print(m_printer.sessionClosed(*s, time(nullptr)));
    m_closeExpected = true;
    finish(kExitFailed);
}

void CliSession::onTyping(const client::Packet& p) {
    const auto t = client::decodeTypingAlarm(p);
    if (!t) return onOther(p);
    if (t->hasDetails && t->userId == m_options.userId) return;  // this user's other device
    print(m_printer.typing(*t, time(nullptr)));
}

void CliSession::onAccepted(const client::Packet& p) {
    const auto ack = client::decodeMsgAck(p);
    if (!ack) return onOther(p);
    if (const outgoing_t* item = m_tracker.accept(*ack)) print(m_printer.accepted(*item));
}

void CliSession::onResult(const client::Packet& p) {
    const auto r = client::decodeMsgResult(p);
    if (!r) return onOther(p);
    // Every notice is acknowledged, even one for a message this run did
    // not send: the daemon waits for the ACK either way.
    requireSent(m_client.sendResultAck(client::ResultAck{r->roomId, r->msgNum, r->trid, m_osType, r->resultSeq}));
    // A report of another connection's message is news, not a fault.
    const outgoing_t* item = m_tracker.report(*r);
    const time_t now = time(nullptr);
    for (const client::result_entry_t& e : r->results)
        print(item ? m_printer.outcome(*item, e, now) : m_printer.earlierOutcome(r->msgNum, e, now));
}

void CliSession::onInviteReply(const client::Packet& p) {
    const auto r = client::decodeInviteReply(p);
    if (!r) return onOther(p);
    for (const std::string& id : r->failedIds) {
        complain("could not invite " + displayText(id));
        m_roster.remove(id);
    }
    // trid 0 answers the invitation inside a room init, which this client
    // does not send; its notices would have said it all.
    if (p.trid != 0) print(m_printer.invitationDone(time(nullptr)));
}

void CliSession::onOther(const client::Packet& p) {
    if (p.code == client::SERVER_NOT_READY_REPLY) {
        complain("the server is still loading its rooms (notice 0x8C90) and closes the connection");
        m_closeExpected = true;
        finish(kExitNotReady);
        return;
    }
    if (const auto refused = client::decodeInvalidCommand(p)) {
        complain("the server refused request " + codeText(refused->requestCode) + " (result 515) and closes the connection");
        m_closeExpected = true;
        finish(kExitFailed);
        return;
    }
    complain("ignored " + std::string(p.isReply() ? "reply " : "packet ") + codeText(p.code) + " that this client cannot read");
}

// ---------------------------------------------------------------- output

void CliSession::finish(int status) {
    if (m_finished) return;
    m_finished = true;
    m_status = status;
}

void CliSession::print(const std::string& text) {
    std::fputs(text.c_str(), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}

void CliSession::complain(const std::string& text) {
    std::fputs(("tolvex-cli: " + text + "\n").c_str(), m_err);
    std::fflush(m_err);
}

}  // namespace cli
