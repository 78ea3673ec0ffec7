#include "ChatRoomFixture.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>

#include "net/Session.h"
#include "poller/Poller.h"
#include "tolvex/util/Globals.h"
#include "tolvex/util/WasServerTable.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatFactory.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/task/SendStateTask.h"
#include "tolvex/util/ChatCodes.h"

void ChatPeer::send(uint16_t code, const std::string& body, uint8_t etype, uint32_t trid) {
    const std::string wire = pbytes::packet(code, body, etype, pbytes::addresses("", ""), trid);
    size_t sent = 0;
    while (sent < wire.size()) {
        const ssize_t n = ::send(m_fd.get(), wire.data() + sent, wire.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

void ChatPeer::pump() {
    if (m_fd.get() < 0) return;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(m_fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            m_stream.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) m_eof = true;
        break;
    }
    pbytes::Received r;
    while (pbytes::takePacket(m_stream, &r)) m_inbox.push_back(r);
}

pbytes::Received ChatPeer::take() {
    pbytes::Received r = m_inbox.front();
    m_inbox.pop_front();
    return r;
}

uint8_t BodyReader::u8() {
    if (remaining() < 1) return 0;
    return static_cast<uint8_t>(m_body[m_pos++]);
}

uint16_t BodyReader::u16() {
    if (remaining() < 2) return 0;
    const uint16_t v = pbytes::u16At(m_body, m_pos);
    m_pos += 2;
    return v;
}

uint32_t BodyReader::u32() {
    if (remaining() < 4) return 0;
    const uint32_t v = pbytes::u32At(m_body, m_pos);
    m_pos += 4;
    return v;
}

std::string BodyReader::str16() {
    const size_t len = u16();
    const size_t n = std::min(len, remaining());
    std::string s = m_body.substr(m_pos, n);
    m_pos += n;
    return s;
}

void ChatRoomFixture::SetUp() {
    LoopFixture::SetUp();
    m_dir = std::make_unique<TempDir>();
    g_Logger.init(m_dir->path().c_str(), "zpx", REOPEN_DD);
    g_FormatLogger.init(m_dir->path().c_str(), "chat", REOPEN_DD);
    RoomManager::getInst().removeAllRooms();
    RoomManager::getInst().setRoomInitComplete();
    m_baseSessions = Session::s_counts.load();

    const std::string was = m_was.address();
    g_was.convert2WasInfo(&was, 1);
    g_was.setSize(1);
    ConfigValues settings;
    settings.service_ip = kServiceIp;
    // Handlers may push a member for every message unless a test sets a limit.
    settings.push_alarm_count = -1;
    settings.was_save_msg = kSaveMsgPage;
    settings.was_mobile_push = kMobilePushPage;
    settings.was_leave = kLeavePage;
    settings.was_endroom = kEndRoomPage;
    settings.was_update_msgsend = kUpdateMsgSendPage;
    settings.was_invite_request = kInviteRequestPage;
    settings.was_sendfailuser_request = kSendFailUserPage;
    QuillonSettings::setForTests(&settings);
    JobHandler::setWaitSecOverride(2);
}

std::vector<FakeWas::Request> ChatRoomFixture::wasRequests(const std::string& page, size_t count) {
    runUntil([&] { return m_was.requestsTo(page).size() >= count; }, 3000);
    return m_was.requestsTo(page);
}

FakeWas::Request ChatRoomFixture::wasRequestWith(const std::string& page, const std::string& field,
                                                 const std::string& value) {
    FakeWas::Request found;
    runUntil([&] {
        for (const FakeWas::Request& r : m_was.requestsTo(page))
            if (r.field(field) == value) found = r;
        return !found.path.empty();
    }, 3000);
    return found;
}

bool ChatRoomFixture::jobsSettled() {
    return runUntil([] { return JobHandler::liveJobCount() == 0; }, 5000);
}

void ChatRoomFixture::TearDown() {
    // Hanging up makes every session fail and release itself on the loop.
    for (auto& peer : m_peers) peer->hangUp();
    EXPECT_TRUE(runUntil([&] { return Session::s_counts.load() == m_baseSessions; }, 5000));
    QuillonSettings::setForTests(nullptr);
    JobHandler::setWaitSecOverride(0);
    m_peers.clear();
    RoomManager::getInst().removeAllRooms();
    g_Logger.close();
    g_FormatLogger.close();
    m_dir.reset();
    LoopFixture::TearDown();
}

ChatPeer& ChatRoomFixture::connect() {
    auto [mine, theirs] = streamPair();
    auto* session = static_cast<ChatSession*>(ChatFactory::getInst().newInst());
    EXPECT_TRUE(session->import(mine.release()));
    m_peers.push_back(std::make_unique<ChatPeer>(std::move(theirs), session));
    return *m_peers.back();
}

bool ChatRoomFixture::waitPackets(ChatPeer& peer, size_t count) {
    return runUntil([&] {
        peer.pump();
        return peer.inbox().size() >= count;
    });
}

bool ChatRoomFixture::waitClosed(ChatPeer& peer) {
    return runUntil([&] {
        peer.pump();
        return peer.closedByDaemon();
    });
}

std::deque<pbytes::Received>& ChatRoomFixture::arrived(ChatPeer& peer) {
    // What the code under test queued leaves at the end of a loop pass.
    if (g_pPoller) g_pPoller->flushDeferred();
    peer.pump();
    return peer.inbox();
}

uint32_t ChatRoomFixture::freshRoomId() {
    static std::atomic<uint32_t> next{1000};
    return next++;
}

int ChatRoomFixture::countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

std::string ChatRoomFixture::readLogs(const std::string& head) const {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(m_dir->path().c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name).rfind(head, 0) == 0) names.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string& name : names) all += m_dir->read(name);
    return all;
}

std::string ChatRoomFixture::joinBody(uint32_t roomId, const std::string& userId, const std::string& name,
                                      uint16_t osType) {
    return BodyBuilder().u32(roomId).str16(userId).str16(name).u16(osType);
}

std::string ChatRoomFixture::inviteSection(const std::vector<invitee_t>& users) {
    BodyBuilder b;
    b.u32(static_cast<uint32_t>(users.size()));
    for (const invitee_t& u : users) b.str16(u.userId).str16(u.name);
    return b;
}

std::string ChatRoomFixture::roomInitBody(uint32_t roomId, const std::string& creator, const std::string& name,
                                          uint16_t osType, const std::vector<invitee_t>& invitees) {
    BodyBuilder b;
    b.u32(roomId).str16(creator).str16(name).u16(osType);
    if (!invitees.empty()) b.raw(inviteSection(invitees));
    return b;
}

std::string ChatRoomFixture::inviteBody(uint32_t roomId, const std::vector<invitee_t>& users) {
    return BodyBuilder().u32(roomId).raw(inviteSection(users));
}

ChatPeer& ChatRoomFixture::openRoom(uint32_t roomId, const std::string& creator,
                                    const std::vector<invitee_t>& invitees) {
    ChatPeer& peer = connect();
    peer.send(ROOM_CREATE, roomInitBody(roomId, creator, creator + " name", OS_TYPE_PC, invitees));
    // The room init reply, one notice per invitee, and the invitation reply.
    const size_t expected = invitees.empty() ? 1 : invitees.size() + 2;
    EXPECT_TRUE(waitPackets(peer, expected));
    peer.inbox().clear();
    return peer;
}

pbytes::Received ChatRoomFixture::joinAs(ChatPeer& peer, uint16_t code, uint32_t roomId, const std::string& userId,
                                         uint16_t osType) {
    peer.send(code, joinBody(roomId, userId, userId + " name", osType));
    if (!waitPackets(peer, 1)) return {};
    return peer.take();
}

void ChatRoomFixture::awaitMobileAcks(uint32_t roomId, uint32_t msgNum, const std::string& sender,
                                      const std::vector<std::string>& members) {
    auto detail = std::make_unique<SendMsgDetail>();
    detail->setRoomId(roomId);
    detail->setMsgNum(msgNum);
    detail->setFromUserId(sender);
    SendMsgDetail::UserList users;
    for (const std::string& m : members) users[m] = {OS_TYPE_MOBILE};
    detail->setUserList(users);
    AckManager::getInstance().ackExpect(std::move(detail));
}

uint32_t ChatRoomFixture::outcomeOf(const std::string& member) {
    for (const stored_send_result_t& r : SendStateTask::getInstance().getSendResults())
        if (std::string(r.result.userId, r.result.userIdLen) == member) return r.result.sendResultCode;
    return 0;
}
