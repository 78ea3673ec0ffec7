#include "was/ReportedDaemon.h"

#include "was/FormBody.h"
#include "was/RequestError.h"

namespace {

// A host name or an address in text: DNS names stop at 253 bytes.
constexpr size_t kMaxServiceIp = 255;
constexpr uint32_t kMaxPort = 65535;

}  // namespace

daemon_address_t reportedDaemon(const FormBody& form) {
    daemon_address_t daemon;
    std::string ip = form.optionalText("svr_ip", kMaxServiceIp);
    if (!form.has("svr_port")) return daemon;
    // u32() takes "-1" back as 4294967295, which the range check refuses too.
    const uint32_t port = form.u32("svr_port");
    if (port > kMaxPort) throw RequestError(WAS_BAD_REQUEST, "bad number in svr_port");
    if (port == 0) return daemon;
    daemon.ip = std::move(ip);
    daemon.port = port;
    return daemon;
}
