#include "tolvex/task/SendStateTask.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <iterator>
#include <map>
#include <memory>
#include <system_error>
#include <utility>

#include "tolvex/util/Globals.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/chat/BodyWriter.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/QuillonUpdateMsgStateHandler.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/task/LoopPost.h"
#include "tolvex/util/ChatUtil.h"
#include "tolvex/util/Metrics.h"

namespace {

// roomId, msgNum, trid, msgTime, fromOsType, result sequence, result count.
constexpr size_t kNoticeHeadLen = 4 + 4 + 4 + 4 + 2 + 4 + 4;
// roomId, msgSeq and the three u32 lengths.
constexpr size_t kUpdateHeadLen = 4 + 4 + 4 + 4 + 4;

size_t noticeEntryLen(const send_result& r) {
    return 2 + msgText(r.userId, r.userIdLen).size() + 2 + msgText(r.userNameInfo, r.userNameInfoLen).size() + 2 + 4;
}

void logException(const char* what, const std::exception& e) {
    logErrno(std::string(what) + " Exception", std::string(" ") + e.what());
}

// The two tab-separated lists of one update request.
struct update_lists_t {
    std::string userIds;
    std::string joinSeqs;
};

OutPacket makeUpdatePacket(const msg_key& key, const update_lists_t& lists) {
    const std::string_view tenant = key.tenantId;
    BodyWriter w(SendStateTask::kUpdateCapacity);
    w.u32(key.roomId).u32(key.msgSeq);
    w.u32(static_cast<uint32_t>(tenant.size())).raw(tenant.data(), tenant.size());
    w.u32(static_cast<uint32_t>(lists.userIds.size())).raw(lists.userIds.data(), lists.userIds.size());
    w.u32(static_cast<uint32_t>(lists.joinSeqs.size())).raw(lists.joinSeqs.data(), lists.joinSeqs.size());
    return OutPacket(WAS_JOB, w.take());
}

}  // namespace

SendStateTask& SendStateTask::getInstance() {
    static SendStateTask instance;
    return instance;
}

SendStateTask::~SendStateTask() {
    stop();
}

bool SendStateTask::start() {
    return m_worker.start([this] { run(); });
}

void SendStateTask::stop() {
    m_worker.stop();
}

bool SendStateTask::isRunning() const {
    return m_worker.isRunning();
}

void SendStateTask::run() {
    while (m_worker.waitCycle()) m_worker.runCycle([this] { doTask(now()); });
}

void SendStateTask::addSendResult(const kept_msg_t& msg, const send_result& result) {
    const std::string userId(msgText(result.userId, result.userIdLen));
    const msg_key key = ChatUtil::makeMsgKey(msg.roomId, msg.msgNum, userId);
    const uint32_t stamp = now();
    std::lock_guard<std::mutex> lock(m_taskMutx);
    if (result.sendResultCode == SEND_RESULT_SUCCESS) m_successList[key].push_back(userId);
    // A copy already kept stays as it is; only its age starts again.
    auto [it, inserted] = m_msgInfoList.try_emplace(key, msg);
    it->second.selfTimestamp = stamp;
    m_sendResultList[key].push_back(result);
}

void SendStateTask::doTask(uint32_t now) {
    // Unsigned differences, so a clock that went back runs every step once.
    if (now - m_sendUpdateLastTime > 2) {
        doSendStateUpdate();
        m_sendUpdateLastTime = now;
    }
    if (now - m_sendResultLastTime > 1) {
        doResponseToFromUser();
        m_sendResultLastTime = now;
    }
    if (now - m_clearMsgInfoLastTime > 29) {
        doClearMsgInfo(now);
        m_clearMsgInfoLastTime = now;
    }
}

void SendStateTask::doSendStateUpdate() {
    std::map<msg_key, std::vector<std::string>> taken;
    {
        std::lock_guard<std::mutex> lock(m_taskMutx);
        taken.swap(m_successList);
    }
    auto batch = std::make_shared<std::vector<std::pair<msg_key, std::vector<std::string>>>>(
        std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end()));
    LoopPost::inSlices(batch->size(), [batch](size_t i) {
        try {
            sendStateUpdate((*batch)[i].first, (*batch)[i].second);
        } catch (const std::exception& e) {
            logException("makeUpdatePacket", e);
        }
    });
}

void SendStateTask::doResponseToFromUser() {
    auto batches = std::make_shared<std::vector<notice_batch_t>>();
    std::vector<msg_key> orphans;
    {
        std::lock_guard<std::mutex> lock(m_taskMutx);
        for (auto& [key, results] : m_sendResultList) {
            auto kept = m_msgInfoList.find(key);
            if (kept == m_msgInfoList.end()) {
                orphans.push_back(key);
                continue;
            }
            batches->push_back({kept->second, std::move(results)});
        }
        m_sendResultList.clear();
    }
    for (const msg_key& key : orphans)
        g_Logger.log("msg_info is NULL. room_id=%d, msg_num=%d", static_cast<int>(key.roomId),
                     static_cast<int>(key.msgSeq));
    LoopPost::inSlices(batches->size(), [this, batches](size_t i) {
        try {
            msgRelayResultPush((*batches)[i]);
        } catch (const std::exception& e) {
            logException("makeMsgResultPacket", e);
        }
    });
}

void SendStateTask::doClearMsgInfo(uint32_t now) {
    std::lock_guard<std::mutex> lock(m_taskMutx);
    for (auto it = m_msgInfoList.begin(); it != m_msgInfoList.end();) {
        const bool old = static_cast<uint64_t>(it->second.selfTimestamp) + kMsgInfoKeepSec <= now;
        // A copy whose results still wait for their notice is needed by it.
        const bool waitedFor = m_sendResultList.count(it->first) != 0;
        it = old && !waitedFor ? m_msgInfoList.erase(it) : std::next(it);
    }
}

void SendStateTask::msgRelayResultPush(const notice_batch_t& batch) const {
    const kept_msg_t& msg = batch.msg;
    for (const std::span<const send_result> run : splitForNotices(batch.results)) {
        const uint32_t resultSeq = RoomManager::getInst().getMsgResultSeq(msg.roomId, msg.fromId);
        const OutPacket pk = makeMsgRelayResultPush(msg, run, resultSeq);
        const int pushResult = SessionContainer::getInstance().push(msg.roomId, msg.fromId, msg.fromOsType, pk.get());
        if (pushResult == 0) Metrics::add(Metrics::getInst().resultNoticesSent);
        const uint32_t pushedAt = now();
        // One line a notice: its addressee, then every outcome it lists.
        std::string opt = std::to_string(resultSeq);
        for (size_t i = 0; i < run.size(); ++i) {
            send_result result = run[i];
            result.sendToTimeFromClient = pushedAt;
            opt += i == 0 ? ':' : ',';
            opt.append(msgText(result.userId, result.userIdLen));
            opt += '/';
            opt += ChatUtil::getOsTypeDesc(result.osType);
            opt += '/';
            opt += std::to_string(result.sendResultCode);
            AckManager::getInstance().addResultAckInfo(msg.roomId, msg.fromId, msg.msgNum, resultSeq, result);
        }
        ChatUtil::sendLogging(msg.roomId, static_cast<int>(msg.msgNum), "MSG_RESULT", msg.fromId, msg.fromOsType,
                              pushResult, opt);
    }
}

void SendStateTask::sendStateUpdate(const msg_key& key, const std::vector<std::string>& userIds) {
    std::vector<update_member_t> members;
    for (const std::string& userId : userIds) {
        const User* user = RoomManager::getInst().getRoomUser(key.roomId, userId);
        if (!user) {
            g_Logger.log("makeUpdatePacket() User is NULL. room_id=%d, msg_seq=%d, user_id=%s",
                         static_cast<int>(key.roomId), static_cast<int>(key.msgSeq), logText(userId).c_str());
            continue;
        }
        members.push_back({userId, user->getJoinSeq()});
    }
    // Nobody left to report: the WAS would get two empty lists.
    if (members.empty()) return;
    for (const OutPacket& pk : makeUpdatePackets(key, members))
        (new QuillonUpdateMsgStateHandler())->doit(nullptr, pk.get());
}

std::vector<std::span<const send_result>> SendStateTask::splitForNotices(const std::vector<send_result>& results) {
    std::vector<std::span<const send_result>> runs;
    size_t first = 0;
    size_t used = kNoticeHeadLen;
    for (size_t i = 0; i < results.size(); ++i) {
        // One entry is at most 522 bytes, far below the capacity, so every
        // run holds at least one.
        const size_t len = noticeEntryLen(results[i]);
        if (i > first && used + len > static_cast<size_t>(kNoticeCapacity)) {
            runs.emplace_back(results.data() + first, i - first);
            first = i;
            used = kNoticeHeadLen;
        }
        used += len;
    }
    if (first < results.size()) runs.emplace_back(results.data() + first, results.size() - first);
    return runs;
}

OutPacket SendStateTask::makeMsgRelayResultPush(const kept_msg_t& msg, std::span<const send_result> results,
                                                uint32_t resultSeq) {
    BodyWriter w(kNoticeCapacity);
    w.u32(msg.roomId).u32(msg.msgNum).u32(msg.trid).u32(msg.msgTime).u16(msg.fromOsType);
    w.u32(resultSeq).u32(static_cast<uint32_t>(results.size()));
    for (const send_result& r : results) {
        w.str16(msgText(r.userId, r.userIdLen)).str16(msgText(r.userNameInfo, r.userNameInfoLen));
        w.u16(r.osType).u32(r.sendResultCode);
    }
    return OutPacket(MSG_RESULT, w.take());
}

std::vector<OutPacket> SendStateTask::makeUpdatePackets(const msg_key& key,
                                                        const std::vector<update_member_t>& members) {
    const size_t head = kUpdateHeadLen + key.tenantId.size();
    std::vector<OutPacket> packets;
    update_lists_t lists;
    for (const update_member_t& m : members) {
        const std::string seq = std::to_string(m.joinSeq);
        const size_t sep = lists.userIds.empty() ? 0 : 1;
        const size_t userLen = lists.userIds.size() + sep + m.userId.size();
        const size_t seqLen = lists.joinSeqs.size() + sep + seq.size();
        const bool fits = head + userLen + seqLen <= static_cast<size_t>(kUpdateCapacity) &&
                          seqLen <= kMaxJoinSeqListLen;
        if (!fits && !lists.userIds.empty()) {
            packets.push_back(makeUpdatePacket(key, lists));
            lists = {};
        }
        if (!lists.userIds.empty()) {
            lists.userIds += '\t';
            lists.joinSeqs += '\t';
        }
        lists.userIds += m.userId;
        lists.joinSeqs += seq;
    }
    if (!lists.userIds.empty()) packets.push_back(makeUpdatePacket(key, lists));
    return packets;
}

std::vector<stored_send_result_t> SendStateTask::getSendResults() const {
    std::vector<stored_send_result_t> out;
    std::lock_guard<std::mutex> lock(m_taskMutx);
    for (const auto& [key, results] : m_sendResultList) {
        auto kept = m_msgInfoList.find(key);
        for (const send_result& r : results) {
            stored_send_result_t entry;
            if (kept != m_msgInfoList.end()) {
                const kept_msg_t& msg = kept->second;
                entry.roomId = msg.roomId;
                entry.msgNum = msg.msgNum;
                entry.trid = msg.trid;
                entry.msgTime = msg.msgTime;
                entry.fromOsType = msg.fromOsType;
                entry.fromId = msg.fromId;
            }
            entry.result = r;
            out.push_back(std::move(entry));
        }
    }
    return out;
}

size_t SendStateTask::keptMsgInfoCount() const {
    std::lock_guard<std::mutex> lock(m_taskMutx);
    return m_msgInfoList.size();
}

void SendStateTask::clearSendResults() {
    {
        std::lock_guard<std::mutex> lock(m_taskMutx);
        m_successList.clear();
        m_sendResultList.clear();
        m_msgInfoList.clear();
    }
    m_sendUpdateLastTime = 0;
    m_sendResultLastTime = 0;
    m_clearMsgInfoLastTime = 0;
}

uint32_t SendStateTask::now() const {
    return m_worker.now();
}

void SendStateTask::setNowFunction(std::function<uint32_t()> now) {
    m_worker.setNowFunction(std::move(now));
}

void SendStateTask::setCycleInterval(std::chrono::milliseconds interval) {
    m_worker.setCycleInterval(interval);
}
