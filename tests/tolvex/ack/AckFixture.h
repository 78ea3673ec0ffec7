#pragma once
// Fixture of the relay-ACK tests: a room with members, messages registered
// as the message handler registers them, relay ACKs fed through
// AckEventHandler, and the outcomes the send-state task stored. Logs go to
// a temporary directory. Header-only, shared with the task tests; test
// thread only (the AckTask tests add the timeout thread).

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "tolvex/util/Globals.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/chat/AckEventHandler.h"
#include "tolvex/chat/BodyWriter.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/task/LoopPost.h"
#include "tolvex/task/SendStateTask.h"
#include "tolvex/util/ChatCodes.h"

class AckFixture : public ::testing::Test {
protected:
    using Members = std::map<std::string, std::list<uint16_t>>;

    void SetUp() override {
        m_dir = std::make_unique<TempDir>();
        g_Logger.init(m_dir->path().c_str(), "zpx", REOPEN_DD);
        g_FormatLogger.init(m_dir->path().c_str(), "chat", REOPEN_DD);
        resetRegistries();
    }
    void TearDown() override {
        resetRegistries();
        g_Logger.close();
        g_FormatLogger.close();
        m_dir.reset();
    }

    // A room of the sender and members, everybody joined.
    void openRoom(uint32_t roomId, const std::string& sender, const std::vector<std::string>& members) {
        RoomManager& rooms = RoomManager::getInst();
        rooms.addRoom(roomId, sender);
        std::vector<std::string> everyone{sender};
        everyone.insert(everyone.end(), members.begin(), members.end());
        for (const std::string& id : everyone) {
            rooms.addRoomUser(roomId, id, nameOf(id));
            rooms.joinUser(roomId, id);
        }
    }
    static std::string nameOf(const std::string& userId) { return "name of " + userId; }

    // What the message handler registers after a fan-out.
    static void expectAcks(uint32_t roomId, uint32_t msgNum, const std::string& sender, const Members& reached,
                           time_t msgTime = 1000, uint32_t trid = 55) {
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

    static OutPacket relayAckPacket(uint16_t code, uint32_t roomId, uint32_t msgNum, const std::string& userId,
                                    uint16_t osType) {
        BodyWriter w(8191);
        w.u32(roomId).u32(msgNum).str16(userId).u32(0).u16(osType);
        return OutPacket(code, w.take());
    }
    // A relay ACK as a client sends it (resultCode 1), or as the push path
    // reports a push outcome.
    static bool relayAck(uint32_t roomId, uint32_t msgNum, const std::string& userId, uint16_t osType,
                         uint32_t resultCode = SEND_RESULT_SUCCESS, uint16_t code = MSG_RELAY_ACK) {
        const OutPacket pk = relayAckPacket(code, roomId, msgNum, userId, osType);
        return AckEventHandler().receiveMsgRelayAck(pk.get(), resultCode);
    }

    static std::vector<stored_send_result_t> outcomes() { return SendStateTask::getInstance().getSendResults(); }
    static std::string userOf(const stored_send_result_t& r) {
        return std::string(msgText(r.result.userId, r.result.userIdLen));
    }
    static std::string nameIn(const stored_send_result_t& r) {
        return std::string(msgText(r.result.userNameInfo, r.result.userNameInfoLen));
    }
    static uint32_t remaining(uint32_t roomId, const std::string& userId, uint32_t msgNum) {
        return AckManager::getInstance().getExpectAckCount(roomId, userId, msgNum);
    }

    std::string chatLog() const { return readLogs("chat"); }
    std::string commandLog() const { return readLogs("zpx"); }
    static int countOf(const std::string& text, const std::string& needle) {
        int n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
        return n;
    }

    std::unique_ptr<TempDir> m_dir;

private:
    static void resetRegistries() {
        LoopPost::setSink({});
        AckManager::getInstance().clearAll();
        SendStateTask::getInstance().clearSendResults();
        RoomManager::getInst().removeAllRooms();
        RoomManager::getInst().setRoomInitComplete();
    }

    std::string readLogs(const std::string& head) const {
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
};
