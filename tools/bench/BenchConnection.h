#pragma once
// One non-blocking connection of the load generator: queues request packets
// built with the client library's codec, writes what the socket takes, and
// cuts what arrives into packets (answering pings). Owns its socket and,
// with useTls(), the TLS link over it. Owned by the load runner; one thread
// (the runner's) at a time.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "client/FrameReader.h"
#include "client/Packet.h"
#include "client/TlsLink.h"

namespace bench {

class BenchConnection {
public:
    using Clock = std::chrono::steady_clock;
    // Queued output beyond this means the daemon stopped reading us.
    static constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;

    BenchConnection() = default;
    BenchConnection(const BenchConnection&) = delete;
    BenchConnection& operator=(const BenchConnection&) = delete;
    ~BenchConnection();

    // The socket's kernel receive buffer, applied by the next connect() (the
    // window scale is fixed by the handshake); 0 keeps the kernel's default.
    void setReceiveBuffer(int bytes) { m_receiveBuffer = bytes; }
    // The next connect() runs a TLS handshake (blocking, within its
    // deadline) and every byte then goes through it.
    void useTls(client::TlsLink::options_t options) { m_tlsOptions = std::move(options); }
    // Connects to an IPv4 address; 0 or an errno value (ETIMEDOUT past the
    // deadline, EPROTO when the TLS handshake failed: connectError() says why).
    int connect(const std::string& host, int port, Clock::time_point deadline);
    // What a connect() result means, with the TLS handshake's reason for EPROTO.
    std::string connectError(int err) const;
    int fd() const { return m_fd; }

    // Queues a packet with the next header trid and writes what the socket
    // takes now. False once the connection has failed.
    bool send(uint16_t code, std::string_view body);
    uint32_t lastTrid() const { return m_trid; }
    // Queues bytes of another protocol as they are and writes what the socket
    // takes now. False once the connection has failed.
    bool sendRaw(std::string_view bytes);
    // Writes queued bytes until the socket is full. False once the connection has failed.
    bool flush();
    bool wantsWrite() const { return m_outPos < m_out.size(); }

    // Reads everything the socket holds now. False once the connection has
    // ended; complete packets received before that are still handed out.
    bool readAvailable();
    // The next complete packet, oldest first; pings are answered on the way.
    std::optional<client::Packet> nextPacket();
    // Like readAvailable(), for another protocol: hands each chunk to sink
    // instead of the packet reader.
    bool readRaw(const std::function<void(const char*, size_t)>& sink);
    // Gives up the connection now: the peer sent something we cannot trust.
    void close(std::string reason);

    // For the set-up phase: blocks until a packet with this code arrives and
    // drops everything else. A refusal (515) or a not-ready notice ends the
    // wait early; *why says what happened when nothing is returned.
    std::optional<client::Packet> waitFor(uint16_t code, Clock::time_point deadline, std::string* why);

    // The daemon did not answer in time: a connect or waitFor() ran out.
    bool timedOut() const { return m_timedOut; }
    bool failed() const { return m_failed; }
    // The failure was a write the socket refused (the peer went away).
    bool sendFailed() const { return m_sendFailed; }
    const std::string& failReason() const { return m_failReason; }

private:
    void fail(std::string reason);
    void queue(std::string_view bytes);
    int startTls(int fd, Clock::time_point deadline);
    // One send()/recv() or TLS write/read; errno as theirs.
    ssize_t writeSome(const char* data, size_t size);
    ssize_t readSome(char* buf, size_t size);

    int m_fd = -1;
    std::optional<client::TlsLink::options_t> m_tlsOptions;
    std::unique_ptr<client::TlsLink> m_tls;  // null on a plain connection
    std::string m_tlsError;                  // why the last handshake failed
    uint32_t m_trid = 0;
    client::FrameReader m_reader;
    std::string m_out;
    size_t m_outPos = 0;  // first byte of m_out not yet written
    int m_receiveBuffer = 0;
    bool m_failed = false;
    bool m_sendFailed = false;
    bool m_timedOut = false;
    std::string m_failReason;
};

}  // namespace bench
