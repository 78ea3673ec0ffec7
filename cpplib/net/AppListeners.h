#pragma once
// Glue between the generic listeners and an App: each turns what its
// listener accepts into a session made by its factory, through the App.
// Owned by the App's registries; event-loop thread only.

#include "net/TCPListener.h"
#include "net/UDSListener.h"
#include "net/UDSReceiver.h"

class App;
class SessionFactory;
class TlsContext;

class ServiceListener : public TCPListener {
public:
    ServiceListener(App* app, SessionFactory* factory) : m_pApp(app), m_pFactory(factory) {}
    void acceptEvent(int fd, sockaddr_in* from) override;
    SessionFactory* factory() const { return m_pFactory; }
    // Sessions of this listener speak TLS with ctx (not owned: it outlives
    // the listener); null: plain TCP.
    void setTls(const TlsContext* ctx) { m_tls = ctx; }
    const TlsContext* tls() const { return m_tls; }

protected:
    App* m_pApp;
    SessionFactory* m_pFactory;
    const TlsContext* m_tls = nullptr;
};

class LServiceListener : public UDSListener {
public:
    LServiceListener(App* app, SessionFactory* factory) : m_pApp(app), m_pFactory(factory) {}
    // The peer of a UNIX socket has no IP address: the session gets 0.0.0.0:0.
    void acceptEvent(int fd, sockaddr_un* from) override;

protected:
    App* m_pApp;
    SessionFactory* m_pFactory;
};

class MessageReceiver : public UDSReceiver {
public:
    MessageReceiver(App* app, SessionFactory* factory) : m_pApp(app), m_pFactory(factory) {}
    void acceptEvent(int fd, sockaddr_in* from) override;
    // Reports to the App, which cancels and deletes this receiver.
    void errorEvent() override;

protected:
    App* m_pApp;
    SessionFactory* m_pFactory;
};
