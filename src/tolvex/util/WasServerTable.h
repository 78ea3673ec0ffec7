#pragma once
// The table of WAS servers every WAS job picks from, round robin, with
// retries moving on to the next server. Jobs pick on the event-loop thread
// and a configuration re-read (SIGUSR2) replaces the entries there too; the
// lock keeps a reader on another thread (start-up, tests) from seeing half
// an entry, and costs nothing beside the request a pick is made for.

#include <array>
#include <mutex>
#include <string>

struct wasinfo_t {
    std::string addr;  // host address as text
    int port = 0;
    bool tls = false;  // "https://host:port": HTTPS, verified against was_ca_file
};

class WasServerTable {
public:
    static constexpr int kCapacity = 30;

    WasServerTable() = default;
    WasServerTable(const WasServerTable&) = delete;
    WasServerTable& operator=(const WasServerTable&) = delete;

    // The server a job should use next. *index is the job's own cursor: -1 on
    // its first pick (takes the shared cursor and advances it), the previous
    // pick on a retry (moves to the following entry). Returns a copy, so a
    // re-read cannot change it under the job.
    wasinfo_t getWAS(int* index);

    // Fills entries from "host:port" or "https://host:port" texts. Stops at the first text without a
    // colon and returns 0; the entries converted until then stay. 1 otherwise.
    int convert2WasInfo(const std::string* list, int count);

    // Number of valid entries; never raised above kCapacity nor below 1.
    int size() const;
    void setSize(int size);
    wasinfo_t entry(int i) const;

private:
    mutable std::mutex m_mutex;              // guards everything below
    std::array<wasinfo_t, kCapacity> m_was;
    int m_size = kCapacity;
    int m_current = 0;                       // shared round-robin cursor
};

// The process-wide table.
extern WasServerTable g_was;

inline wasinfo_t getWAS(int* index) { return g_was.getWAS(index); }
