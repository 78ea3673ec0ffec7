#include "tolvex/Globals.h"

int g_serverId = 0;
int g_service_port = 0;
std::string g_strServerID;
ChatApp* g_pApp = nullptr;

Log g_Logger;
Log g_FormatLogger;
Log g_LoggerForStat;
LogStat g_statLogger;
