#include "cli/RoomDirectory.h"

#include <expat.h>
#include <httplib.h>

#include <charconv>
#include <memory>

#include "client/TokenFetch.h"

namespace cli {

namespace {

constexpr unsigned char kReplyMagic = 0xFE;
constexpr size_t kMaxTenant = 256;
constexpr size_t kMaxReply = 64 * 1024;  // one element; anything longer is not this page

room_holder_t failed(const std::string& why) {
    room_holder_t r;
    r.error = why;
    return r;
}

struct room_element_t {
    bool seen = false;
    bool hasIp = false;
    std::string ip;
    std::string port;
};

void onStart(void* data, const XML_Char* name, const XML_Char** attrs) {
    auto* room = static_cast<room_element_t*>(data);
    if (room->seen || std::string(name) != "room") return;
    room->seen = true;
    for (int i = 0; attrs[i]; i += 2) {
        const std::string key = attrs[i];
        if (key == "svr_ip") {
            room->hasIp = true;
            room->ip = attrs[i + 1];
        } else if (key == "svr_port") {
            room->port = attrs[i + 1];
        }
    }
}

}  // namespace

std::string tenantOf(const std::string& userId) {
    std::string tenant = userId;
    const size_t at = userId.find('@');
    if (at != std::string::npos) {
        const size_t dot = userId.find('.', at + 1);
        if (dot != std::string::npos) tenant = userId.substr(dot + 1);
    }
    return tenant.substr(0, kMaxTenant);
}

room_holder_t readRoomHolder(const std::string& body) {
    if (body.size() < 4 || static_cast<unsigned char>(body[0]) != kReplyMagic) return failed("not a WAS reply");
    const size_t textLen = static_cast<unsigned char>(body[3]);
    if (4 + textLen > body.size()) return failed("truncated WAS reply");
    const int code = static_cast<unsigned char>(body[1]) | (static_cast<unsigned char>(body[2]) << 8);
    if (code == 404) {
        room_holder_t r;
        r.kind = room_holder_t::Kind::kNotFound;
        return r;
    }
    if (code != 0) return failed("WAS refused: " + std::to_string(code) + " " + body.substr(4, textLen));

    room_element_t room;
    std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate(nullptr), XML_ParserFree);
    if (!parser) return failed("out of memory");
    XML_SetUserData(parser.get(), &room);
    XML_SetElementHandler(parser.get(), onStart, nullptr);
    const std::string xml = body.substr(4 + textLen);
    if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), 1) != XML_STATUS_OK || !room.seen ||
        !room.hasIp)
        return failed("unreadable room directory reply");

    int port = -1;
    const char* end = room.port.data() + room.port.size();
    auto [last, ec] = std::from_chars(room.port.data(), end, port);
    if (ec != std::errc() || last != end || port < 0 || port > 65535) return failed("bad svr_port in reply");
    room_holder_t r;
    r.kind = port == 0 ? room_holder_t::Kind::kNotHeld : room_holder_t::Kind::kHeld;
    r.daemonIp = room.ip;
    r.daemonPort = port;
    return r;
}

room_holder_t lookUpRoomHolder(const std::string& wasHost, int wasPort, uint32_t roomId, const std::string& tenantId,
                               double timeoutSec, bool https, const std::string& caFile) {
    httplib::Client client((https ? "https://" : "http://") + wasHost + ":" + std::to_string(wasPort));
    if (https) {
        client.enable_server_certificate_verification(true);
        if (!caFile.empty()) client.set_ca_cert_path(caFile.c_str());
    }
    const auto timeout =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::duration<double>(timeoutSec));
    client.set_connection_timeout(timeout);
    client.set_read_timeout(timeout);
    client.set_write_timeout(timeout);
    // Read through a bounded receiver: the reply is one element, and a
    // server that sends more is not the page asked for.
    std::string body;
    httplib::Request req;
    req.method = "POST";
    req.path = kRoomDirectoryPage;
    req.body = "room_id=" + std::to_string(roomId) + "&tenant_id=" + client::formEncode(tenantId);
    req.set_header("Content-Type", "application/x-www-form-urlencoded");
    req.content_receiver = [&body](const char* data, size_t length, uint64_t, uint64_t) {
        if (body.size() + length > kMaxReply) return false;
        body.append(data, length);
        return true;
    };
    httplib::Result res = client.send(req);
    if (!res) return failed(httplib::to_string(res.error()));
    if (res->status != 200) return failed("HTTP status " + std::to_string(res->status));
    return readRoomHolder(body);
}

}  // namespace cli
