#include "support/PgTestServer.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "support/Process.h"

namespace {

namespace fs = std::filesystem;

// A running cluster: its folder (data, socket and log) and its port.
struct cluster_t {
    std::string folder;
    int port = 0;
};

const char* const kClusterFile = "server";  // in the run's folder: "PORT FOLDER"

// The newest installed server (Debian keeps each major version apart).
std::string serverBinDir() {
    int best = -1;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const std::string name = entry.path().filename();
        const int version = std::atoi(name.c_str());
        if (version > best && fs::exists(entry.path() / "bin" / "initdb")) best = version;
    }
    if (best < 0)
        throw std::runtime_error("no PostgreSQL server under /usr/lib/postgresql (Debian package postgresql)");
    return "/usr/lib/postgresql/" + std::to_string(best) + "/bin/";
}

// initdb and postgres refuse to run as root, so as root the server's tools
// run as the postgres system user, in the cluster folder it owns.
std::string runServerTool(const std::string& folder, const std::string& tool, const std::vector<std::string>& args,
                          int timeoutMs) {
    std::string program = serverBinDir() + tool;
    std::vector<std::string> argv = args;
    if (geteuid() == 0) {
        argv.insert(argv.begin(), {"--reuid=postgres", "--regid=postgres", "--init-groups", program});
        program = "/usr/bin/setpriv";
    }
    Process p(program, argv, folder);
    const int status = p.waitExit(timeoutMs);
    if (status != 0)
        throw std::runtime_error(tool + " failed (status " + std::to_string(status) + "): " + p.stdoutText() +
                                 p.stderrText());
    return p.stdoutText();
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string serverUrl(int port, const std::string& database) {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(port) + "/" + database;
}

void makeFolderServerOwned(const std::string& folder) {
    if (geteuid() != 0) return;
    const passwd* pw = getpwnam("postgres");
    if (!pw) throw std::runtime_error("running as root but there is no postgres user to run the server");
    if (chown(folder.c_str(), pw->pw_uid, pw->pw_gid) != 0) throw std::runtime_error("cannot chown " + folder);
}

bool tryStart(const cluster_t& c) {
    // Speed over durability: the cluster lives for one run. Port and socket
    // are this cluster's only, so runs side by side never meet.
    const std::string options = "-p " + std::to_string(c.port) + " -k " + c.folder +
                                " -h 127.0.0.1 -c fsync=off -c synchronous_commit=off"
                                " -c full_page_writes=off -c max_connections=200";
    try {
        runServerTool(c.folder, "pg_ctl",
                      {"start", "-D", c.folder + "/data", "-l", c.folder + "/log", "-w", "-t", "60", "-s", "-o",
                       options},
                      70000);
    } catch (const std::runtime_error&) {
        return false;  // most likely the port was taken meanwhile; the log says
    }
    return waitFor([&] { return PQping(serverUrl(c.port, "postgres").c_str()) == PQPING_OK; }, 10000);
}

void stopCluster(const cluster_t& c) {
    std::error_code ec;
    try {
        runServerTool(c.folder, "pg_ctl", {"stop", "-D", c.folder + "/data", "-m", "immediate", "-w", "-s"}, 30000);
    } catch (const std::runtime_error&) {
        // Already gone; the folder goes all the same.
    }
    fs::remove_all(c.folder, ec);
}

cluster_t startCluster() {
    char pattern[] = "/tmp/tolvex-pg-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    cluster_t c{pattern, 0};
    try {
        makeFolderServerOwned(c.folder);
        runServerTool(c.folder, "initdb",
                      {"-D", c.folder + "/data", "-U", "postgres", "--auth=trust", "--no-sync", "--locale=C"},
                      120000);
        // The port was free a moment ago; another process may take it first.
        for (int attempt = 0; attempt < 3; ++attempt) {
            c.port = freeTcpPort();
            if (tryStart(c)) return c;
        }
        throw std::runtime_error("PostgreSQL did not start: " + readText(c.folder + "/log"));
    } catch (...) {
        stopCluster(c);
        throw;
    }
}

cluster_t readClusterFile(const std::string& dir) {
    cluster_t c;
    std::ifstream in(dir + "/" + kClusterFile);
    if (!(in >> c.port >> c.folder))
        throw std::runtime_error("no test PostgreSQL described in " + dir + " (is tolvex-test-pg start run?)");
    return c;
}

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

}  // namespace

void PgTestServer::startInto(const std::string& dir) {
    fs::create_directories(dir);
    try {
        stopCluster(readClusterFile(dir));  // left by a run that did not finish
    } catch (const std::runtime_error&) {
    }
    const cluster_t c = startCluster();
    std::ofstream(dir + "/" + kClusterFile) << c.port << " " << c.folder << "\n";
}

void PgTestServer::stopFrom(const std::string& dir) {
    stopCluster(readClusterFile(dir));
    fs::remove(dir + "/" + kClusterFile);
}

PgTestServer& PgTestServer::shared() {
    static PgTestServer server;
    return server;
}

PgTestServer::PgTestServer() {
    if (const char* dir = getenv(kEnvironmentVariable)) {
        m_port = readClusterFile(dir).port;
        return;
    }
    const cluster_t c = startCluster();
    m_port = c.port;
    m_folder = c.folder;
    m_ownerPid = getpid();
}

PgTestServer::~PgTestServer() {
    if (!m_folder.empty() && getpid() == m_ownerPid) stopCluster({m_folder, m_port});
}

std::string PgTestServer::freshDatabase() {
    const std::string name = "tolvex_" + std::to_string(getpid()) + "_" + std::to_string(++m_counter);
    administer("CREATE DATABASE " + name);
    return serverUrl(m_port, name);
}

void PgTestServer::dropDatabase(const std::string& connection) {
    const std::string name = connection.substr(connection.rfind('/') + 1);
    administer("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
}

void PgTestServer::administer(const std::string& statement) const {
    Connection conn(PQconnectdb(serverUrl(m_port, "postgres").c_str()), &PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK)
        throw std::runtime_error("test PostgreSQL: " + std::string(PQerrorMessage(conn.get())));
    Result result(PQexec(conn.get(), statement.c_str()), &PQclear);
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
        throw std::runtime_error(statement + ": " + PQerrorMessage(conn.get()));
}
