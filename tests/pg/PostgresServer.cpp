#include "pg/PostgresServer.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Every server has a folder of its own, so they can all use the default port side by side.
constexpr const char* kPort = "5432";
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kStopLimit = std::chrono::seconds(10);

bool IsExecutable(const fs::path& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

bool HasServer(const fs::path& dir) {
    return IsExecutable(dir / "initdb") && IsExecutable(dir / "postgres");
}

// The major version of a /usr/lib/postgresql/N folder, 0 for anything else.
int MajorVersion(const fs::path& dir) {
    const std::string name = dir.filename().string();
    int version = 0;
    for (char c : name) {
        if (c < '0' || c > '9') {
            return 0;
        }
        version = version * 10 + (c - '0');
    }
    return version;
}

// Waits for a child to end, up to limit; true when it did (and is reaped).
bool WaitFor(pid_t pid, std::chrono::milliseconds limit, int* status = nullptr) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int ignored = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, status != nullptr ? status : &ignored, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

struct Spawn {
    std::vector<std::string> args;  // args[0]: the program's path
    std::string log;                // stdout and stderr go here
    bool drop = false;
    uid_t uid = 0;
    gid_t gid = 0;
    int deathSignal = SIGKILL;
};

// fork and exec without a shell. The test process may have threads, so the child makes only
// async-signal-safe calls; everything it needs is built before the fork.
pid_t Run(const Spawn& spawn) {
    std::vector<char*> argv;
    for (const std::string& arg : spawn.args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    const int null = ::open("/dev/null", O_RDONLY);
    const int log = ::open(spawn.log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (null < 0 || log < 0 || ::dup2(null, 0) < 0 || ::dup2(log, 1) < 0 || ::dup2(log, 2) < 0) {
        ::_exit(126);
    }
    // Nothing of the test (ptys, pipes to ctest) may stay open in a server that outlives a call.
    ::close_range(3, ~0U, 0);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int number : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD}) {
        ::signal(number, SIG_DFL);
    }
    if (spawn.drop && (::setgroups(0, nullptr) != 0 || ::setresgid(spawn.gid, spawn.gid, spawn.gid) != 0 ||
                       ::setresuid(spawn.uid, spawn.uid, spawn.uid) != 0)) {
        ::_exit(126);
    }
    // After the change of user, which clears it; and the parent may have gone meanwhile.
    ::prctl(PR_SET_PDEATHSIG, spawn.deathSignal);
    if (::getppid() != parent) {
        ::_exit(125);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

std::string Quote(std::string_view value) {
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "'";
}

void ClearPgEnvironment() {
    std::vector<std::string> names;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        if (text.rfind("PG", 0) == 0 && text.find('=') != std::string_view::npos) {
            names.emplace_back(text.substr(0, text.find('=')));
        }
    }
    for (const std::string& name : names) {
        ::unsetenv(name.c_str());
    }
}

}  // namespace

std::optional<fs::path> PostgresServer::FindBinDir() {
    if (const char* dir = std::getenv("TAGBENCH_PG_BINDIR"); dir != nullptr && dir[0] != '\0') {
        return HasServer(dir) ? std::optional<fs::path>(dir) : std::nullopt;
    }
    std::error_code error;
    fs::path best;
    int bestVersion = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
        const int version = MajorVersion(entry.path());
        if (version > bestVersion && HasServer(entry.path() / "bin")) {
            best = entry.path() / "bin";
            bestVersion = version;
        }
    }
    if (bestVersion > 0) {
        return best;
    }
    if (const char* path = std::getenv("PATH"); path != nullptr) {
        std::istringstream dirs(path);
        std::string dir;
        while (std::getline(dirs, dir, ':')) {
            if (!dir.empty() && HasServer(dir)) {
                return fs::path(dir);
            }
        }
    }
    return std::nullopt;
}

bool PostgresServer::Start(std::string* error) {
    const auto fail = [&](const std::string& reason) {
        if (error != nullptr) {
            *error = reason;
        }
        return false;
    };
    if (!m_dir.empty()) {
        return fail("the server was started already");
    }
    const std::optional<fs::path> bin = FindBinDir();
    if (!bin) {
        return fail("no PostgreSQL server binaries (initdb, postgres) found");
    }
    m_bin = *bin;
    ClearPgEnvironment();
    // The socket's path must fit 107 bytes: a short folder right below /tmp, never $TMPDIR.
    char dir[] = "/tmp/tagbench-pg.XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        return fail(std::string("mkdtemp: ") + std::strerror(errno));
    }
    m_dir = dir;
    m_bDrop = ::geteuid() == 0;
    if (m_bDrop) {
        // initdb and postgres refuse to run as root (CI runs as root).
        const passwd* user = ::getpwnam("postgres");
        if (user == nullptr) {
            user = ::getpwnam("nobody");
        }
        if (user == nullptr) {
            Stop();
            return fail("running as root, and neither the user postgres nor nobody exists");
        }
        m_uid = user->pw_uid;
        m_gid = user->pw_gid;
        if (::chown(dir, m_uid, m_gid) != 0) {
            const std::string reason = std::string("chown ") + dir + ": " + std::strerror(errno);
            Stop();
            return fail(reason);
        }
    }
    Spawn initdb{{(m_bin / "initdb").string(), "-D", (m_dir / "data").string(), "-U", "tagbench",
                  "--auth=trust", "--no-sync", "-E", "UTF8", "--locale=C"},
                 (m_dir / "initdb.log").string(),
                 m_bDrop,
                 m_uid,
                 m_gid,
                 SIGKILL};
    const pid_t pid = Run(initdb);
    int status = 0;
    if (pid < 0 || !WaitFor(pid, kStartLimit, &status) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            WaitFor(pid, kStopLimit);
        }
        std::ifstream log(m_dir / "initdb.log");
        std::ostringstream text;
        text << log.rdbuf();
        Stop();
        return fail("initdb failed:\n" + text.str());
    }
    if (!Launch(error)) {
        Stop();
        return false;
    }
    return true;
}

bool PostgresServer::Restart(std::string* error) {
    if (m_dir.empty() || m_pid > 0) {
        if (error != nullptr) {
            *error = m_dir.empty() ? "no cluster to restart" : "the server runs";
        }
        return false;
    }
    return Launch(error);
}

bool PostgresServer::Launch(std::string* error) {
    const std::string dir = m_dir.string();
    // No fsync: a test's cluster dies with it, and a killed server's files still reach the page
    // cache. Commits are still written at once (no synchronous_commit=off), so that a server that
    // Kill stopped comes back with every committed row. No TCP: the socket in the folder only.
    Spawn postgres{{(m_bin / "postgres").string(), "-D", (m_dir / "data").string(), "-k", dir, "-p", kPort,
                    "-c", "listen_addresses=", "-c", "fsync=off", "-c", "full_page_writes=off", "-c",
                    "max_connections=30", "-c", "shared_buffers=16MB"},
                   (m_dir / "server.log").string(),
                   m_bDrop,
                   m_uid,
                   m_gid,
                   SIGQUIT};  // the immediate shutdown, when this thread dies
    m_pid = Run(postgres);
    if (m_pid < 0) {
        if (error != nullptr) {
            *error = std::string("fork: ") + std::strerror(errno);
        }
        return false;
    }
    const std::string conninfo = ConnectionString();
    const auto end = std::chrono::steady_clock::now() + kStartLimit;
    while (PQping(conninfo.c_str()) != PQPING_OK) {
        int status = 0;
        const bool exited = ::waitpid(m_pid, &status, WNOHANG) == m_pid;
        if (exited || std::chrono::steady_clock::now() >= end) {
            if (!exited) {
                ::kill(m_pid, SIGQUIT);
                WaitFor(m_pid, kStopLimit);
            }
            m_pid = -1;
            if (error != nullptr) {
                *error = "the PostgreSQL server did not start; its log ends:\n" + LogTail();
            }
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string PostgresServer::ConnectionString(std::string_view db) const {
    return "host=" + Quote(m_dir.string()) + " port=" + kPort + " user=tagbench dbname=" + Quote(db) +
           " connect_timeout=10";
}

bool PostgresServer::CreateDatabase(std::string_view name, std::string* error) {
    PGconn* conn = PQconnectdb(ConnectionString().c_str());
    bool ok = PQstatus(conn) == CONNECTION_OK;
    if (ok) {
        char* quoted = PQescapeIdentifier(conn, name.data(), name.size());
        PGresult* result = PQexec(conn, ("CREATE DATABASE " + std::string(quoted)).c_str());
        PQfreemem(quoted);
        ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
    }
    if (!ok && error != nullptr) {
        *error = "CREATE DATABASE " + std::string(name) + ": " + PQerrorMessage(conn);
    }
    PQfinish(conn);
    return ok;
}

void PostgresServer::Kill() {
    if (m_pid <= 0) {
        return;
    }
    // SIGQUIT first, never SIGKILL: that would orphan the backends and the shared memory.
    ::kill(m_pid, SIGQUIT);
    if (!WaitFor(m_pid, kStopLimit)) {
        ::kill(m_pid, SIGKILL);
        WaitFor(m_pid, kStopLimit);
    }
    m_pid = -1;
}

void PostgresServer::Stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGINT);  // fast shutdown: does not wait for connections a test left open
        if (!WaitFor(m_pid, kStopLimit)) {
            Kill();
        }
        m_pid = -1;
    }
    if (!m_dir.empty()) {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
        m_dir.clear();
    }
}

std::string PostgresServer::LogTail() const {
    std::ifstream log(m_dir / "server.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
        lines.push_back(line);
    }
    std::string tail;
    for (size_t i = lines.size() > 20 ? lines.size() - 20 : 0; i < lines.size(); ++i) {
        tail += lines[i] + "\n";
    }
    return tail;
}

PostgresStart StartTestServer(PostgresServer& server, std::string& why) {
    const char* require = std::getenv("TAGBENCH_REQUIRE_POSTGRES");
    const bool required = require != nullptr && std::string_view(require) == "1";
    if (!PostgresServer::FindBinDir()) {
        why =
            "no PostgreSQL server installed (initdb and postgres: package postgresql, or set "
            "TAGBENCH_PG_BINDIR)";
        if (required) {
            why += "; TAGBENCH_REQUIRE_POSTGRES=1 asks for one";
            return PostgresStart::Failed;
        }
        return PostgresStart::NoServer;
    }
    return server.Start(&why) ? PostgresStart::Started : PostgresStart::Failed;
}
