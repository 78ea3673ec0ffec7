#pragma once
// An HTTP/1.0 server standing in for the WAS in loopback tests. It listens on
// 127.0.0.1 port 0 on its own thread, records every request and answers as
// the test says: the success header by default, canned bytes per page, or
// never (for timeout tests). Owns its thread and sockets; the setters and
// readers may be called from any thread.

#include <condition_variable>
#include <cstdint>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

class FakeWas {
public:
    using fields_t = std::vector<std::pair<std::string, std::string>>;

    struct Request {
        std::string method;
        std::string path;
        std::string version;  // "HTTP/1.0"
        fields_t headers;     // in the order sent, names as sent
        std::string body;     // the raw form body
        fields_t form;        // body fields in order, names and values percent-decoded

        // The first header of this name (any case); empty when absent.
        std::string header(const std::string& name) const;
        // The first form value of this name; empty when absent.
        std::string field(const std::string& name) const;
        bool hasField(const std::string& name) const;
    };

    struct Reply {
        int status = 200;
        std::string body = resultHeader(0);
        bool answer = true;  // false: read the request, then stay silent until the peer leaves
        bool held = false;   // answered only once release() is called for its path
    };

    FakeWas();
    FakeWas(const FakeWas&) = delete;
    FakeWas& operator=(const FakeWas&) = delete;
    ~FakeWas();

    int port() const { return m_port; }
    // "127.0.0.1:<port>", the form of a `was` configuration entry.
    std::string address() const;

    void setReply(const std::string& path, Reply reply);
    void neverAnswer(const std::string& path);
    // Requests to path are read and kept waiting, unanswered; release(path)
    // answers them, and the ones after, with the reply set for path.
    void hold(const std::string& path);
    void release(const std::string& path);

    std::vector<Request> requests() const;
    std::vector<Request> requestsTo(const std::string& path) const;
    size_t requestCount() const;
    // True once at least count requests arrived within timeoutMs.
    bool waitForRequests(size_t count, int timeoutMs = 10000) const;

    // A WAS reply header: 0xFE, the u16 result, the u8 text length, the text.
    static std::string resultHeader(uint16_t code, const std::string& errorText = "");

private:
    struct Connection;

    void run();
    // Answers the held requests whose path is no longer held.
    void answerReleased(std::vector<std::unique_ptr<Connection>>& conns);
    void answer(Connection& c, const Reply& reply);
    void acceptOne();
    // False when the connection is finished and should be closed.
    bool readFrom(Connection& c);
    bool parseHead(Connection& c);
    void finishRequest(Connection& c);
    Reply replyFor(const std::string& path) const;
    static void writeAll(int fd, const std::string& bytes);

    int m_listenFd = -1;
    int m_wakePipe[2] = {-1, -1};
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;

    mutable std::mutex m_mutex;  // guards everything below
    mutable std::condition_variable m_arrived;
    std::vector<Request> m_requests;
    std::map<std::string, Reply> m_replies;
    Reply m_default;
};
