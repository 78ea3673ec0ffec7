#include "was/WasServer.h"

#include <httplib.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "cpputil/MetricsText.h"
#include "was/FormBody.h"
#include "was/RequestError.h"
#include "was/TokenSigner.h"
#include "was/WasMetrics.h"
#include "was/WasReply.h"

// httplib's servers keep their listening socket to themselves. The shared
// library listens with its built-in backlog of 5 whatever this build
// defines, so WasServer::bind() sets the backlog again on that socket.
class ListeningSocket : public httplib::Server {
public:
    static int of(const httplib::Server& server) { return server.*(&ListeningSocket::svr_sock_); }
};

namespace {

// Larger than any form the daemon builds (three times its 64 KiB job input).
constexpr size_t kMaxRequestBody = 1 << 20;

// A daemon opens one connection per job, in bursts (a send-state update per
// message every 3 s); a short accept queue overflows and turns them into
// timeouts and retries. The kernel caps it at net.core.somaxconn.
constexpr int kListenBacklog = 4096;

// Replaces httplib's default, SO_REUSEPORT, which lets a second WAS listen on
// the same address and take part of the daemon's requests into another
// database. SO_REUSEADDR still lets a restart bind while old connections sit
// in TIME_WAIT, and refuses an address another socket listens on. Should it
// fail, only such a restart is refused, and bind() reports that.
void exclusiveAddress(socket_t fd) {
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// httplib reports a failed bind as false alone; errno still holds what bind()
// or listen() said, unless the host name did not resolve.
std::string bindFailure(const std::string& host, int port, int savedErrno) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) return gai_strerror(rc);
    freeaddrinfo(found);
    return savedErrno != 0 ? strerror(savedErrno) : "bind failed";
}

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

const char* const kReplyType = "application/octet-stream";

// Moved in rather than set_content(), which copies.
void respond(httplib::Response& res, std::string reply) {
    res.body = std::move(reply);
    res.set_header("Content-Type", kReplyType);
}

// Sent block by block. With the length known, httplib sends a Content-Length
// and the bytes as they are: the daemon understands no chunked encoding.
void respond(httplib::Response& res, ReplyBlocks reply) {
    auto blocks = std::make_shared<const ReplyBlocks>(std::move(reply));
    res.set_content_provider(blocks->size(), kReplyType,
                             [blocks](size_t offset, size_t length, httplib::DataSink& sink) {
                                 std::string_view bytes = blocks->from(offset).substr(0, length);
                                 return !bytes.empty() && sink.write(bytes.data(), bytes.size());
                             });
}

std::string_view replyStart(const std::string& reply) {
    return reply;
}

std::string_view replyStart(const ReplyBlocks& reply) {
    return reply.from(0);
}

std::unique_ptr<httplib::Server> makeHttpServer(const was_server_settings_t& settings) {
    if (settings.certFile.empty() || settings.keyFile.empty()) return std::make_unique<httplib::Server>();
    auto server = std::make_unique<httplib::SSLServer>(settings.certFile.c_str(), settings.keyFile.c_str());
    // The daemon speaks TLS 1.2 or 1.3; nothing older is offered.
    if (server->is_valid()) SSL_CTX_set_min_proto_version(server->ssl_context(), TLS1_2_VERSION);
    return server;
}

}  // namespace

WasServer::WasServer(WasStore& store, const was_server_settings_t& settings)
    : m_messages(store),
      m_rooms(store, settings.roomsPerPage),
      m_http(makeHttpServer(settings)) {
    size_t threads = settings.threads == 0 ? 1 : settings.threads;
    // httplib's factory hands back a raw pointer and deletes the pool itself.
    m_http->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // One request per connection: the daemon opens a fresh one each time and
    // waits for the close to know the reply is complete.
    m_http->set_keep_alive_max_count(1);
    m_http->set_socket_options(exclusiveAddress);
    m_http->set_payload_max_length(kMaxRequestBody);
    m_http->set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            res.status = 200;
            respond(res, replyHeader(WAS_STORAGE_ERROR, "internal error"));
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
    route(p.roomDirectory, m_rooms, &RoomPages::directory);
    if (settings.tokenSigner) routeTokenPage(settings);
    m_http->Get("/metrics", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(WasMetrics::getInst().exposition(), MetricsText::kContentType);
    });
}

WasServer::~WasServer() = default;

void WasServer::routeTokenPage(const was_server_settings_t& settings) {
    m_http->Post(literalPattern(settings.tokenPage), [signer = settings.tokenSigner, key = settings.tokenApiKey](
                                                          const httplib::Request& req, httplib::Response& res) {
        if (!sameApiKey(req.get_header_value("X-Api-Key"), key)) {
            res.status = 401;
            res.set_content("no valid X-Api-Key\n", "text/plain");
            return;
        }
        token_fields_t fields;
        std::string error;
        try {
            const FormBody form = FormBody::parse(req.body);
            for (const char* name : {"user", "room", "device", "ttl"})
                if (form.has(name) && !TokenSigner::setField(name, form.bytes(name, 1024), &fields, &error)) break;
            if (error.empty() && fields.user.empty()) error = "user: required";
        } catch (const std::exception&) {
            error = "not a form body";
        }
        if (!error.empty()) {
            res.status = 400;
            res.set_content(error + "\n", "text/plain");
            return;
        }
        const std::string token = signer->sign(fields, static_cast<int64_t>(std::time(nullptr)));
        res.status = token.empty() ? 500 : 200;
        res.set_content(token + "\n", "text/plain");
    });
}

// Pages read the body through a content reader: httplib's own body reading
// refuses form bodies above 8 KiB, and a save carries up to 8191 message
// bytes, each of which may take three characters once encoded.
template <typename Pages, typename Reply>
void WasServer::route(const std::string& path, Pages& pages,
                      Reply (Pages::*page)(std::string_view)) {
    m_http->Post(literalPattern(path), [&pages, page, path](const httplib::Request&,
                                                            httplib::Response& res,
                                                            const httplib::ContentReader& reader) {
        const auto start = std::chrono::steady_clock::now();
        const auto seconds = [start] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        std::string body;
        bool complete = reader([&body](const char* data, size_t length) {
            body.append(data, length);
            return true;
        });
        if (!complete) {
            res.status = 400;
            WasMetrics::getInst().request(path, WasMetrics::RESULT_UNREADABLE, seconds());
            return;
        }
        auto reply = (pages.*page)(body);
        const WasMetrics::result_t result = WasMetrics::resultOf(replyStart(reply));
        respond(res, std::move(reply));
        WasMetrics::getInst().request(path, result, seconds());
    });
}

int WasServer::bind(const std::string& host, int port, std::string& reason) {
    // An SSLServer whose certificate or key did not load serves nothing.
    if (!m_http->is_valid()) {
        reason = "the certificate or key does not load, or they do not match";
        return -1;
    }
    errno = 0;
    int bound = port == 0 ? m_http->bind_to_any_port(host)
                          : (m_http->bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        reason = bindFailure(host, port, errno);
        return -1;
    }
    // Linux takes a second listen() on a listening socket as its new backlog.
    if (::listen(ListeningSocket::of(*m_http), kListenBacklog) != 0) {
        reason = strerror(errno);
        return -1;
    }
    return bound;
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
