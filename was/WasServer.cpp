#include "was/WasServer.h"

#include <httplib.h>

#include "was/RequestError.h"
#include "was/WasReply.h"

namespace {

// Larger than any form the daemon builds (three times its 64 KiB job input).
constexpr size_t kMaxRequestBody = 1 << 20;

// httplib matches routes as regular expressions; a page path is literal.
std::string literalPattern(const std::string& path) {
    static const std::string special = R"(\^$.|?*+()[]{})";
    std::string out;
    for (char c : path) {
        if (special.find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

WasServer::WasServer(WasStore& store, const was_server_settings_t& settings)
    : m_messages(store),
      m_rooms(store, settings.roomsPerPage),
      m_http(std::make_unique<httplib::Server>()) {
    size_t threads = settings.threads == 0 ? 1 : settings.threads;
    // httplib's factory hands back a raw pointer and deletes the pool itself.
    m_http->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // One request per connection: the daemon opens a fresh one each time and
    // waits for the close to know the reply is complete.
    m_http->set_keep_alive_max_count(1);
    m_http->set_payload_max_length(kMaxRequestBody);
    m_http->set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            res.status = 200;
            res.set_content(replyHeader(WAS_STORAGE_ERROR, "internal error"),
                            "application/octet-stream");
        });

    const was_page_paths_t& p = settings.pages;
    route(p.saveMsg, m_messages, &MessagePages::saveMessage);
    route(p.updateMsgSend, m_messages, &MessagePages::updateSendState);
    route(p.sendFailUser, m_messages, &MessagePages::sendFailUsers);
    route(p.mobilePush, m_messages, &MessagePages::mobilePush);
    route(p.inviteRequest, m_messages, &MessagePages::inviteRequest);
    route(p.noDevice, m_messages, &MessagePages::noDevice);
    route(p.leave, m_rooms, &RoomPages::leave);
    route(p.endRoom, m_rooms, &RoomPages::endRoom);
    route(p.notEndRoom, m_rooms, &RoomPages::notEndedRooms);
    route(p.loadRoom, m_rooms, &RoomPages::loadRoom);
}

WasServer::~WasServer() = default;

// Pages read the body through a content reader: httplib's own body reading
// refuses form bodies above 8 KiB, and a save carries up to 8191 message
// bytes, each of which may take three characters once encoded.
template <typename Pages>
void WasServer::route(const std::string& path, Pages& pages,
                      std::string (Pages::*page)(std::string_view)) {
    m_http->Post(literalPattern(path), [&pages, page](const httplib::Request&,
                                                      httplib::Response& res,
                                                      const httplib::ContentReader& reader) {
        std::string body;
        bool complete = reader([&body](const char* data, size_t length) {
            body.append(data, length);
            return true;
        });
        if (!complete) {
            res.status = 400;
            return;
        }
        res.set_content((pages.*page)(body), "application/octet-stream");
    });
}

int WasServer::bind(const std::string& host, int port) {
    if (port == 0) return m_http->bind_to_any_port(host);
    return m_http->bind_to_port(host, port) ? port : -1;
}

bool WasServer::run() {
    return m_http->listen_after_bind();
}

bool WasServer::isRunning() const {
    return m_http->is_running();
}

void WasServer::stop() {
    m_http->stop();
}
