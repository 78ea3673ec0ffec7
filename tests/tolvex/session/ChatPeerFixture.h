#pragma once
// Fixture for ChatSession and SessionContainer tests: real ChatSessions
// imported on one end of socketpairs and driven by the real poller, with
// the test holding the client end. Helpers speak the protocol in raw bytes
// so the assertions are about what a client would see. Test thread only.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/Session.h"
#include "poller/Poller.h"
#include "support/LoopDriver.h"
#include "support/TempDir.h"
#include "tolvex/util/Globals.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatFactory.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/ChatUtil.h"

// A packet as it crossed the wire.
struct wire_packet_t {
    uint16_t hlen = 0;
    uint16_t code = 0;
    uint8_t ver = 0;
    uint8_t etype = 0;
    uint32_t trid = 0;
    uint16_t sessionid = 0;
    std::string vh;
    std::string body;
    size_t wireSize = 0;
};

inline void putU16(std::string& s, uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
}

inline void putU32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline uint16_t getU16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}

inline uint32_t getU32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

// A request as a client sends it: 18-byte header with two empty addresses.
inline std::string rawRequest(uint16_t code, const std::string& body, uint8_t etype = 0, uint32_t trid = 77) {
    std::string s;
    putU16(s, 0xB76C);
    putU16(s, 18);
    putU16(s, code);
    s += static_cast<char>(2);
    s += static_cast<char>(etype);
    putU32(s, trid);
    putU16(s, 0);
    putU16(s, static_cast<uint16_t>(body.size()));
    s += std::string(2, '\0');
    return s + body;
}

// Parses the first whole packet of bytes; false while it is incomplete.
inline bool parseWirePacket(const std::string& bytes, wire_packet_t* out) {
    if (bytes.size() < 16) return false;
    const uint16_t hlen = getU16(bytes, 2);
    const uint16_t blen = getU16(bytes, 14);
    if (hlen < 16 || bytes.size() < static_cast<size_t>(hlen) + blen) return false;
    out->hlen = hlen;
    out->code = getU16(bytes, 4);
    out->ver = static_cast<uint8_t>(bytes[6]);
    out->etype = static_cast<uint8_t>(bytes[7]);
    out->trid = getU32(bytes, 8);
    out->sessionid = getU16(bytes, 12);
    out->vh = bytes.substr(16, hlen - 16);
    out->body = bytes.substr(hlen, blen);
    out->wireSize = static_cast<size_t>(hlen) + blen;
    return true;
}

// The client end of one connection and the bytes it has received.
struct ChatPeer {
    ChatSession* session = nullptr;  // owned by the framework; valid while open
    int fd = -1;
    std::string inbox;
    bool eof = false;

    ChatPeer() = default;
    ChatPeer(const ChatPeer&) = delete;
    ChatPeer& operator=(const ChatPeer&) = delete;
    ~ChatPeer() {
        if (fd >= 0) ::close(fd);
    }

    // Moves whatever has arrived into inbox; notes end of file.
    void drain() {
        // What the code under test queued leaves at the end of a loop pass.
        if (g_pPoller) g_pPoller->flushDeferred();
        char buf[4096];
        while (fd >= 0) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                inbox.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) eof = true;
            break;
        }
    }
};

class ChatPeerFixture : public LoopFixture {
protected:
    void SetUp() override {
        LoopFixture::SetUp();
        g_Logger.init(m_logDir.path().c_str(), "zpx_test", REOPEN_DD);
        g_FormatLogger.init(m_logDir.path().c_str(), "chat_test", REOPEN_DD);
        m_baseSessions = Session::s_counts.load();
        rooms().removeAllRooms();
        rooms().setRoomInitComplete();
    }

    void TearDown() override {
        for (auto& peer : m_peers) {
            ::close(peer->fd);
            peer->fd = -1;
        }
        // Every session sees its peer go and is destroyed by its release path.
        EXPECT_TRUE(runUntil([&] { return Session::s_counts.load() == m_baseSessions; }));
        for (const room_key& key : m_usedRooms) container().clearRoom(key);
        rooms().removeAllRooms();
        g_Logger.close();
        g_FormatLogger.close();
        LoopFixture::TearDown();
    }

    static RoomManager& rooms() { return RoomManager::getInst(); }
    static SessionContainer& container() { return SessionContainer::getInstance(); }

    // A fresh connection whose server end is a ChatSession from the factory.
    ChatPeer& connect() {
        int sv[2] = {-1, -1};
        EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
        auto peer = std::make_unique<ChatPeer>();
        peer->session = static_cast<ChatSession*>(ChatFactory::getInst().newInst());
        peer->fd = sv[1];
        EXPECT_TRUE(peer->session->import(sv[0]));
        m_peers.push_back(std::move(peer));
        return *m_peers.back();
    }

    // A connection with its identity set, as a successful join leaves it.
    ChatPeer& connectAs(const std::string& userId, uint32_t roomId, uint16_t osType) {
        ChatPeer& peer = connect();
        peer.session->setProfile(userId, userId + "-name", roomId, osType);
        m_usedRooms.push_back(ChatUtil::makeRoomKey(roomId, userId));
        return peer;
    }

    // ... and registered in the session container.
    ChatPeer& joinAs(const std::string& userId, uint32_t roomId, uint16_t osType) {
        ChatPeer& peer = connectAs(userId, roomId, osType);
        container().addSession(roomId, userId, peer.session);
        return peer;
    }

    void sendRaw(ChatPeer& peer, const std::string& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::send(peer.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
    }

    // The next packet the peer receives (consumed), within the deadline.
    bool readPacket(ChatPeer& peer, wire_packet_t* out) {
        const bool got = runUntil([&] {
            peer.drain();
            return parseWirePacket(peer.inbox, out);
        });
        if (got) peer.inbox.erase(0, out->wireSize);
        return got;
    }

    // True once the server end has closed (everything before it is kept).
    bool peerClosed(ChatPeer& peer) {
        return runUntil([&] {
            peer.drain();
            return peer.eof;
        });
    }

    // The peer's session has been destroyed (so its socket is closed).
    bool sessionGone(ChatPeer& peer) {
        if (!peerClosed(peer)) return false;
        peer.session = nullptr;
        return true;
    }

    // Whether s is listed anywhere in the room (compares pointers only).
    bool listedIn(uint32_t roomId, const std::string& anyUserOfTenant, const ChatSession* s) {
        for (const auto& [id, list] : container().getSessionList(roomId, anyUserOfTenant, OS_TYPE_ALL))
            for (const ChatSession* listed : list)
                if (listed == s) return true;
        return false;
    }

    std::string chatLog() const { return readLog(g_FormatLogger.fileName()); }
    std::string commandLog() const { return readLog(g_Logger.fileName()); }

    // A room of the user's tenant in which the user has joined.
    void memberJoined(uint32_t roomId, const std::string& userId) {
        rooms().addRoom(roomId, userId);
        rooms().addRoomUser(roomId, userId, userId + "-name");
        rooms().joinUser(roomId, userId);
    }
    uint32_t joinStateOf(uint32_t roomId, const std::string& userId) {
        const User* user = rooms().getRoomUser(roomId, userId);
        return user ? user->getJoinState() : 0;
    }

private:
    std::string readLog(const std::string& name) const {
        if (name.empty()) return "";
        return m_logDir.read(name.substr(m_logDir.path().size() + 1));
    }

    TempDir m_logDir;
    int m_baseSessions = 0;
    std::vector<std::unique_ptr<ChatPeer>> m_peers;
    std::vector<room_key> m_usedRooms;
};
