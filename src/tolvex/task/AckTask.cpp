#include "tolvex/task/AckTask.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>

#include "tolvex/ChatApp.h"
#include "tolvex/Globals.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/chat/CommonHandler.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/task/LoopPost.h"
#include "tolvex/util/ChatUtil.h"

namespace {

constexpr int kDefaultRelayAckTimeoutSec = 10;
constexpr int kDefaultResultAckTimeoutSec = 30;

}  // namespace

AckTask& AckTask::getInstance() {
    static AckTask instance;
    return instance;
}

AckTask::~AckTask() {
    stop();
}

bool AckTask::start() {
    if (m_ackThread.joinable()) return true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopAckTaskThread = false;
    }
    try {
        m_ackThread = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        g_Logger.log("AckTask thread start fail !!!!!! %s", e.what());
        return false;
    }
    return true;
}

void AckTask::stop() {
    if (!m_ackThread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopAckTaskThread = true;
    }
    m_wake.notify_all();
    try {
        m_ackThread.join();
    } catch (const std::system_error& e) {
        g_Logger.log("AckTask thread join failed. %s", e.what());
    }
}

bool AckTask::isRunning() const {
    return m_ackThread.joinable();
}

void AckTask::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bStopAckTaskThread) {
        lock.unlock();
        try {
            runCycle(now(), timeoutSec());
        } catch (const std::exception& e) {
            logErrno("AckTask Exception", std::string(" ") + e.what());
        }
        lock.lock();
        m_wake.wait_for(lock, m_interval, [this] { return m_bStopAckTaskThread; });
    }
}

void AckTask::runCycle(time_t now, int timeoutSec) {
    sendAckFail(AckManager::getInstance().getTimeoutList(timeoutSec, now));
    // The sweep only logs and erases registry entries, so it runs here.
    AckManager::getInstance().clearTimeoutResultAckInfo(resultTimeoutSec(), static_cast<uint32_t>(now));
}

void AckTask::sendAckFail(std::vector<std::unique_ptr<SendMsgDetail>> timeoutList) {
    if (timeoutList.empty()) return;
    // The outcomes name each member with its name and join sequence, which
    // only the loop may read; the entries are out of the registry already,
    // so the loop works on them alone.
    auto list = std::make_shared<std::vector<std::unique_ptr<SendMsgDetail>>>(std::move(timeoutList));
    LoopPost::toLoop([list] {
        for (const std::unique_ptr<SendMsgDetail>& detail : *list) {
            try {
                sendTimeoutFailPacket(*detail);
            } catch (const std::exception& e) {
                logErrno("sendTimeoutFailPacket Exception", std::string(" ") + e.what());
            }
        }
    });
}

void AckTask::sendTimeoutFailPacket(const SendMsgDetail& detail) {
    kept_msg_t msg;
    msg.roomId = detail.getRoomId();
    msg.msgNum = detail.getMsgNum();
    msg.msgTime = static_cast<uint32_t>(detail.getMsgTime());
    msg.trid = detail.getTrid();
    msg.fromOsType = detail.getFromOsType();
    msg.fromId = detail.getFromUserId();
    for (const auto& [userId, osTypes] : detail.getUserList()) {
        if (userId == detail.getFromUserId() || osTypes.empty()) continue;
        send_result result;
        setMsgText(result.userId, result.userIdLen, userId);
        if (const User* user = RoomManager::getInst().getRoomUser(detail.getRoomId(), userId)) {
            setMsgText(result.userNameInfo, result.userNameInfoLen, user->getNameInfo());
            result.joinSeq = user->getJoinSeq();
        }
        result.sendResultCode = SEND_RESULT_ACK_TIMEOUT;
        result.osType = osTypes.front();
        CommonHandler::msgRelayResultAdd(result, msg);
    }
}

time_t AckTask::now() const {
    return m_now ? m_now() : static_cast<time_t>(ChatUtil::getUTCTimeSecond());
}

int AckTask::timeoutSec() const {
    if (m_timeoutSec) return m_timeoutSec();
    return g_pApp ? g_pApp->config().relayAckTimeoutSec() : kDefaultRelayAckTimeoutSec;
}

int AckTask::resultTimeoutSec() const {
    if (m_resultTimeoutSec) return m_resultTimeoutSec();
    return g_pApp ? g_pApp->config().resultAckTimeoutSec() : kDefaultResultAckTimeoutSec;
}

void AckTask::setResultTimeoutFunction(std::function<int()> timeoutSec) {
    m_resultTimeoutSec = std::move(timeoutSec);
}

void AckTask::setNowFunction(std::function<time_t()> now) {
    m_now = std::move(now);
}

void AckTask::setTimeoutFunction(std::function<int()> timeoutSec) {
    m_timeoutSec = std::move(timeoutSec);
}

void AckTask::setCycleInterval(std::chrono::milliseconds interval) {
    m_interval = interval;
}
