#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// A throwaway PostgreSQL server for tests and benchmarks: a fresh cluster in a folder of its own
// below /tmp, reached over a Unix socket in that folder only (no TCP), superuser "tagbench" with
// trust authentication, no fsync. The server runs as this process's child and goes when
// the thread that started it dies, so a crashed test leaves no server behind (only its folder).
//
//     PostgresServer server;
//     if (!server.Start(&error)) ...
//     OpenPostgresLedger(server.ConnectionString(), error);
//
// Start a server from the main thread: the kernel stops the server when the starting thread ends.
// Start also clears the PG* variables of this process's environment, so that a developer's
// PGPORT, PGSERVICE or PGOPTIONS cannot steer the tests' connections elsewhere.
class PostgresServer {
public:
    PostgresServer() = default;
    ~PostgresServer() { Stop(); }
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // The folder of initdb and postgres: $TAGBENCH_PG_BINDIR, else the newest
    // /usr/lib/postgresql/N/bin (Debian keeps them off PATH), else PATH. None when not installed.
    static std::optional<std::filesystem::path> FindBinDir();

    // Makes the cluster and starts the server; false with the reason (and the server's log) in
    // error. A second Start without Stop fails.
    bool Start(std::string* error);
    // "host=DIR port=5432 user=tagbench dbname=DB": libpq's key=value form.
    std::string ConnectionString(std::string_view db = "postgres") const;
    // A fresh, empty database, so that cases of one test do not see each other's rows.
    bool CreateDatabase(std::string_view name, std::string* error);

    // Fast shutdown (open connections are cut), then the folder goes. Idempotent; the destructor
    // calls it.
    void Stop();
    // Immediate shutdown, as when the server's machine fails: the folder stays, so that Restart
    // brings the same cluster back. For tests of a server lost in mid-work.
    void Kill();
    // Starts the server again on the cluster that Kill left.
    bool Restart(std::string* error);

    bool IsRunning() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    const std::filesystem::path& Dir() const { return m_dir; }

private:
    bool Launch(std::string* error);
    std::string LogTail() const;

    std::filesystem::path m_bin;
    std::filesystem::path m_dir;
    pid_t m_pid = -1;
    uid_t m_uid = 0;  // who runs the server tools when this process is root: they refuse root
    gid_t m_gid = 0;
    bool m_bDrop = false;
};

// Whether a test can have a server: Started, or why not. NoServer: the server binaries are not
// installed (a test skips, unless TAGBENCH_REQUIRE_POSTGRES=1 makes that a failure); Failed:
// they are there but the server did not come up.
enum class PostgresStart { Started, NoServer, Failed };
PostgresStart StartTestServer(PostgresServer& server, std::string& why);
