#include "tolvex/util/Globals.h"

#include <cerrno>
#include <cstring>

#include "cpputil/ErrorLog.h"

int g_serverId = 0;
int g_service_port = 0;
std::string g_strServerID;
ChatContext* g_pApp = nullptr;

Log g_Logger;
Log g_FormatLogger;
Log g_LoggerForStat;
LogStat g_statLogger;

void logErrno(const std::string& head, const std::string& tail) {
    const int err = errno;
    g_Logger.log("%s ERROR:%d(%s)%s", head.c_str(), err, std::strerror(err), tail.c_str());
    errno = 0;
}

void routeFrameworkErrorsToCommandLog() {
    errorlog::setSink([](const std::string& line) { g_Logger.log("%s", line.c_str()); });
}

void stopRoutingFrameworkErrors() {
    errorlog::setSink({});
}
