#include "net/AppListeners.h"

#include "net/App.h"

void ServiceListener::acceptEvent(int fd, sockaddr_in* from) {
    m_pApp->acceptEvent2(this, fd, from, m_pFactory);
}

void LServiceListener::acceptEvent(int fd, sockaddr_un*) {
    sockaddr_in none{};
    m_pApp->acceptEvent(fd, &none, m_pFactory);
}

void MessageReceiver::acceptEvent(int fd, sockaddr_in* from) {
    m_pApp->acceptEvent(fd, from, m_pFactory);
}

void MessageReceiver::errorEvent() {
    // Closed first, so that a failed receiver reports once even if the App
    // keeps it; the App normally deletes it, so nothing may follow the call.
    const int fd = m_sockfd;
    free();
    m_pApp->errorMessageReceiverEvent(fd);
}
