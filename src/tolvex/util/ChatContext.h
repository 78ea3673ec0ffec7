#pragma once
// What the handlers and workers need of the application object: its event
// loop (post, inLoopThread) and its settings. ChatApp, in the library above
// the handlers, is the one implementation; keeping this part here lets the
// handlers link without the daemon's top library. Tests run the handlers
// with g_pApp null and fall back to the defaults.

#include "net/App.h"
#include "tolvex/util/ChatConfig.h"

class ChatContext : public App {
public:
    ChatConfig& config() { return m_config; }

protected:
    ChatConfig m_config;
};
