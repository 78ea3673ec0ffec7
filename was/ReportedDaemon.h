#pragma once
// The daemon a page's form comes from, as the daemon reports itself at the
// end of its forms (svr_ip, svr_port). A free function for the pages; any
// thread.

#include "was/WasRecords.h"

class FormBody;

// The daemon's service address; unknown (port 0) when svr_port is absent or
// 0, as from a daemon that does not report itself. Throws RequestError
// (WAS_BAD_REQUEST) for a port outside 0..65535 or an svr_ip longer than 255
// bytes or holding a zero byte.
daemon_address_t reportedDaemon(const FormBody& form);
