#pragma once
// Process-wide values of the daemon. Set on the main thread before any
// worker starts and not changed afterwards, except the logs, which any
// thread may write.

#include <string>

#include "cpputil/Log.h"

class ChatContext;

extern int g_serverId;             // instance number on this host (-n)
extern int g_service_port;         // the port actually bound: configured + g_serverId
extern std::string g_strServerID;  // "<host name>-<server id>"
extern ChatContext* g_pApp;  // the ChatApp of main, null in tests

extern Log g_Logger;         // command log "zpx_NN"
extern Log g_FormatLogger;   // chat log "chat_NN"
extern Log g_LoggerForStat;  // statistics log "zpxstat_NN"
extern LogStat g_statLogger; // statistics log "chatstat_NN", fixed name

// "<head> ERROR:<errno>(<its text>)<tail>" in the command log, errno then
// cleared: the line a handler writes when one of its steps threw.
void logErrno(const std::string& head, const std::string& tail = "");

// Failures the framework meets on its own go to the command log (and stop
// going anywhere with stopRoutingFrameworkErrors).
void routeFrameworkErrorsToCommandLog();
void stopRoutingFrameworkErrors();
