#include "tolvex/task/AckTask.h"


#include "tolvex/util/ChatContext.h"
#include "tolvex/util/Globals.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/ack/AckRoom.h"
#include "tolvex/chat/CommonHandler.h"
#include "tolvex/task/LoopPost.h"
#include "tolvex/util/ChatUtil.h"
#include "tolvex/util/Metrics.h"

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
    return m_worker.start([this] { run(); });
}

void AckTask::stop() {
    m_worker.stop();
}

bool AckTask::isRunning() const {
    return m_worker.isRunning();
}

void AckTask::run() {
    do {
        m_worker.runCycle([this] { runCycle(now(), timeoutSec()); });
    } while (m_worker.waitCycle());
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
    const relay_msg_t relayed = relayMsgOf(detail);
    for (const auto& [userId, osTypes] : detail.getUserList()) {
        if (userId == detail.getFromUserId() || osTypes.empty()) continue;
        Metrics::add(Metrics::getInst().relayAckTimeouts);
        CommonHandler::memberResultAdd(relayed, userId, osTypes.front(), SEND_RESULT_ACK_TIMEOUT);
    }
}

time_t AckTask::now() const {
    return static_cast<time_t>(m_worker.now());
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

void AckTask::setNowFunction(std::function<uint32_t()> now) {
    m_worker.setNowFunction(std::move(now));
}

void AckTask::setTimeoutFunction(std::function<int()> timeoutSec) {
    m_timeoutSec = std::move(timeoutSec);
}

void AckTask::setCycleInterval(std::chrono::milliseconds interval) {
    m_worker.setCycleInterval(interval);
}
