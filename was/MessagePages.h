#pragma once
// The message pages: save message, send-state update, failed recipients,
// mobile push, invite, and our own no-device registration. Owned by
// WasServer; each call turns one form body into one whole reply body.
// Any thread: the store serialises its own access.

#include <string>
#include <string_view>

class WasStore;

class MessagePages {
public:
    explicit MessagePages(WasStore& store) : m_store(store) {}
    MessagePages(const MessagePages&) = delete;
    MessagePages& operator=(const MessagePages&) = delete;

    std::string saveMessage(std::string_view body);
    std::string updateSendState(std::string_view body);
    std::string sendFailUsers(std::string_view body);
    std::string mobilePush(std::string_view body);
    std::string inviteRequest(std::string_view body);
    std::string noDevice(std::string_view body);

private:
    WasStore& m_store;
};
