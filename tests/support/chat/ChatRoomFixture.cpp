#include "support/chat/ChatRoomFixture.h"

#include <sys/socket.h>

#include <atomic>

#include "client/Packet.h"
#include "net/Session.h"
#include "poller/Poller.h"
#include "tolvex/util/Globals.h"
#include "tolvex/util/WasServerTable.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/chat/AckEventHandler.h"
#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatFactory.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/task/LoopPost.h"

void ChatPeer::send(uint16_t code, const std::string& body, uint8_t etype, uint32_t trid) {
    client::packet_options_t opts;
    opts.etype = etype;
    opts.trid = trid;
    sendRaw(client::encodePacket(code, body, opts));
}

void ChatPeer::sendRaw(const std::string& wire) {
    // A blocking socket: send() returns once every byte is in the buffer.
    EXPECT_EQ(static_cast<ssize_t>(wire.size()), ::send(m_fd.get(), wire.data(), wire.size(), MSG_NOSIGNAL));
}

void ChatPeer::shutdownWrite() {
    ::shutdown(m_fd.get(), SHUT_WR);
}

void ChatPeer::pump() {
    if (m_fd.get() < 0) return;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(m_fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            m_reader.feed(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) m_eof = true;
        break;
    }
    client::Packet p;
    for (auto ev = m_reader.next(&p); ev != client::FrameReader::Event::kNone; ev = m_reader.next(&p)) {
        if (ev == client::FrameReader::Event::kError) {
            ADD_FAILURE() << "the daemon sent bytes that are not packets: " << m_reader.error();
            return;
        }
        if (ev == client::FrameReader::Event::kPacket) m_inbox.push_back(p);
    }
}

client::Packet ChatPeer::take() {
    client::Packet p = m_inbox.front();
    m_inbox.pop_front();
    return p;
}

LoopQueue::LoopQueue() {
    LoopPost::setSink([this](std::function<void()> task) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tasks.push_back(std::move(task));
    });
}

LoopQueue::~LoopQueue() {
    LoopPost::setSink({});
}

size_t LoopQueue::runQueued() {
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        batch.swap(m_tasks);
    }
    for (auto& task : batch) task();
    return batch.size();
}

namespace {

void resetRegistries() {
    LoopPost::setSink({});
    AckManager::getInstance().clearAll();
    SendStateTask::getInstance().clearSendResults();
    RoomManager::getInst().removeAllRooms();
    RoomManager::getInst().setRoomInitComplete();
}

}  // namespace

void ChatRoomFixture::SetUp() {
    LoopFixture::SetUp();
    m_dir = std::make_unique<TempDir>();
    g_Logger.init(m_dir->path().c_str(), "zpx", REOPEN_DD);
    g_FormatLogger.init(m_dir->path().c_str(), "chat", REOPEN_DD);
    resetRegistries();
    m_baseSessions = Session::s_counts.load();

    const std::string was = m_was.address();
    g_was.convert2WasInfo(&was, 1);
    g_was.setSize(1);
    g_service_port = 7100;
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

void ChatRoomFixture::TearDown() {
    // Hanging up makes every session fail and release itself on the loop.
    for (auto& peer : m_peers) peer->hangUp();
    EXPECT_TRUE(runUntil([&] { return Session::s_counts.load() == m_baseSessions; }));
    EXPECT_TRUE(jobsSettled());
    for (const room_key& key : m_listedRooms) SessionContainer::getInstance().clearRoom(key);
    QuillonSettings::setForTests(nullptr);
    JobHandler::setWaitSecOverride(0);
    m_peers.clear();
    resetRegistries();
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

ChatPeer& ChatRoomFixture::listedAs(const std::string& userId, uint32_t roomId, uint16_t osType, bool listed) {
    ChatPeer& peer = connect();
    peer.session()->setProfile(userId, nameOf(userId), roomId, osType);
    peer.session()->bind();
    m_listedRooms.push_back(ChatUtil::makeRoomKey(roomId, userId));
    if (listed) SessionContainer::getInstance().addSession(roomId, userId, peer.session());
    return peer;
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

std::deque<client::Packet>& ChatRoomFixture::arrived(ChatPeer& peer) {
    // What the code under test queued leaves at the end of a loop pass.
    if (g_pPoller) g_pPoller->flushDeferred();
    peer.pump();
    return peer.inbox();
}

uint32_t ChatRoomFixture::freshRoomId() {
    static std::atomic<uint32_t> next{1000};
    return next++;
}

ChatPeer& ChatRoomFixture::openRoom(uint32_t roomId, const std::string& creator,
                                    const std::vector<client::invitee_t>& invitees) {
    ChatPeer& peer = connect();
    client::RoomInitRequest r;
    r.roomId = roomId;
    r.creatorId = creator;
    r.creatorName = nameOf(creator);
    r.invitees = invitees;
    peer.send(ROOM_CREATE, client::encode(r));
    // The room init reply, one notice per invitee, and the invitation reply.
    EXPECT_TRUE(waitPackets(peer, invitees.empty() ? 1 : invitees.size() + 2));
    peer.inbox().clear();
    return peer;
}

client::Packet ChatRoomFixture::joinAs(ChatPeer& peer, uint16_t code, uint32_t roomId, const std::string& userId,
                                       uint16_t osType) {
    peer.send(code, client::encode(client::JoinRequest{roomId, userId, nameOf(userId), osType}));
    if (!waitPackets(peer, 1)) return {};
    return peer.take();
}

ChatPeer& ChatRoomFixture::joined(uint32_t roomId, const std::string& userId, uint16_t osType,
                                  const std::vector<ChatPeer*>& others) {
    ChatPeer& peer = connect();
    EXPECT_EQ(USER_JOIN | kResponseBit, joinAs(peer, USER_JOIN, roomId, userId, osType).code);
    for (ChatPeer* other : others) arrived(*other).clear();
    return peer;
}

void ChatRoomFixture::roomOf(uint32_t roomId, const std::vector<std::string>& members) {
    RoomManager& rooms = RoomManager::getInst();
    rooms.addRoom(roomId, members.front());
    for (const std::string& id : members) {
        rooms.addRoomUser(roomId, id, nameOf(id));
        rooms.joinUser(roomId, id);
    }
}

uint32_t ChatRoomFixture::joinStateOf(uint32_t roomId, const std::string& userId) {
    const User* user = RoomManager::getInst().getRoomUser(roomId, userId);
    return user ? user->getJoinState() : 0;
}

void ChatRoomFixture::expectAcks(uint32_t roomId, uint32_t msgNum, const std::string& sender, const Members& reached,
                                 time_t msgTime, uint32_t trid) {
    auto detail = std::make_unique<SendMsgDetail>();
    detail->setRoomId(roomId);
    detail->setMsgNum(msgNum);
    detail->setFromUserId(sender);
    detail->setFromOsType(OS_TYPE_PC);
    detail->setMsgTime(msgTime);
    detail->setMsgType(MSG_TALK);
    detail->setTrid(trid);
    detail->setUserList(reached);
    AckManager::getInstance().ackExpect(std::move(detail));
}

bool ChatRoomFixture::relayAck(uint32_t roomId, uint32_t msgNum, const std::string& userId, uint16_t osType,
                               uint32_t resultCode) {
    const std::string body = client::encode(client::RelayAck{roomId, msgNum, userId, 0, osType});
    const OutPacket pk(MSG_RELAY_ACK, std::vector<char>(body.begin(), body.end()));
    return AckEventHandler().receiveMsgRelayAck(pk.get(), resultCode);
}

std::vector<stored_send_result_t> ChatRoomFixture::outcomes() {
    return SendStateTask::getInstance().getSendResults();
}

std::string ChatRoomFixture::userOf(const stored_send_result_t& r) {
    return std::string(msgText(r.result.userId, r.result.userIdLen));
}

uint32_t ChatRoomFixture::outcomeOf(const std::string& member) {
    for (const stored_send_result_t& r : outcomes())
        if (userOf(r) == member) return r.result.sendResultCode;
    return 0;
}

std::vector<FakeWas::Request> ChatRoomFixture::wasRequests(const std::string& page) {
    EXPECT_TRUE(jobsSettled());
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

int ChatRoomFixture::countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

std::string ChatRoomFixture::commandLog() const {
    return m_dir->read(g_Logger.fileName().substr(m_dir->path().size() + 1));
}

std::string ChatRoomFixture::chatLog() const {
    return m_dir->read(g_FormatLogger.fileName().substr(m_dir->path().size() + 1));
}
