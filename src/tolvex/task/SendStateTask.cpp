#include "tolvex/task/SendStateTask.h"

#include "tolvex/chat/MsgText.h"

SendStateTask& SendStateTask::getInstance() {
    static SendStateTask instance;
    return instance;
}

void SendStateTask::addSendResult(const msg_info* msg, const send_result& result) {
    if (!msg) return;
    stored_send_result_t entry;
    entry.roomId = msg->roomId;
    entry.msgNum = msg->msgNum;
    entry.trid = msg->trid;
    entry.msgTime = msg->msgTime;
    entry.fromOsType = msg->fromOsType;
    entry.fromId = std::string(msgText(msg->fromId, msg->fromIdLen));
    entry.result = result;
    std::lock_guard<std::mutex> lock(m_taskMutx);
    if (m_sendResultList.size() >= kMaxKeptResults) {
        m_sendResultList.pop_front();
        ++m_dropped;
    }
    m_sendResultList.push_back(std::move(entry));
}

std::vector<stored_send_result_t> SendStateTask::getSendResults() const {
    std::lock_guard<std::mutex> lock(m_taskMutx);
    return {m_sendResultList.begin(), m_sendResultList.end()};
}

size_t SendStateTask::droppedCount() const {
    std::lock_guard<std::mutex> lock(m_taskMutx);
    return m_dropped;
}

void SendStateTask::clearSendResults() {
    std::lock_guard<std::mutex> lock(m_taskMutx);
    m_sendResultList.clear();
    m_dropped = 0;
}
