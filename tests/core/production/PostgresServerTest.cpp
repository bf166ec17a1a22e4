#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pg/PostgresTest.h"

namespace {

namespace fs = std::filesystem;

// The processes whose working folder lies in dir: a server and its backends live in their
// cluster's folder.
std::vector<std::string> ProcessesIn(const fs::path& dir) {
    std::vector<std::string> found;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", error)) {
        std::error_code unreadable;
        const fs::path cwd = fs::read_symlink(entry.path() / "cwd", unreadable);
        if (!unreadable && cwd.string().rfind(dir.string() + "/", 0) == 0) {
            found.push_back(entry.path().filename().string() + " in " + cwd.string());
        }
    }
    return found;
}

// The test server's own guarantees: whatever a test does or however it ends, no server runs on.
TEST(PostgresServer, LeavesNoServerAndNoFolderBehindAfterStopOrACrash) {
    if (!PostgresServer::FindBinDir()) {
        PostgresServer server;
        TAGBENCH_START_POSTGRES(server);  // skips, or fails when a server is required
    }
    // A test process that dies takes its server with it (only the folder stays, for /tmp's
    // cleanup). The dying child runs this test from its start: this part comes first.
    const std::string note = "/tmp/tagbench-pg-crash.";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            PostgresServer doomed;
            std::string why;
            if (!doomed.Start(&why)) {
                std::fprintf(stderr, "%s\n", why.c_str());
                std::_Exit(3);
            }
            std::ofstream(note + std::to_string(::getppid())) << doomed.Dir().string();
            std::abort();
        },
        ::testing::KilledBySignal(SIGABRT), "");
    std::string crashed;
    std::ifstream(note + std::to_string(::getpid())) >> crashed;
    fs::remove(note + std::to_string(::getpid()));
    ASSERT_EQ(crashed.rfind("/tmp/tagbench-pg.", 0), 0u) << crashed;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!ProcessesIn(crashed).empty() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(ProcessesIn(crashed), std::vector<std::string>());
    fs::remove_all(crashed);

    PostgresServer server;
    TAGBENCH_START_POSTGRES(server);
    const fs::path dir = server.Dir();
    // A test that forgets to close its connection must not hold the shutdown up.
    PGconn* leaked = PQconnectdb(server.ConnectionString().c_str());
    ASSERT_EQ(PQstatus(leaked), CONNECTION_OK) << PQerrorMessage(leaked);
    EXPECT_GE(ProcessesIn(dir).size(), 2u) << "the server and the connection's backend";
    server.Stop();
    server.Stop();
    EXPECT_FALSE(server.IsRunning());
    EXPECT_EQ(ProcessesIn(dir), std::vector<std::string>());
    EXPECT_FALSE(fs::exists(dir));
    PQfinish(leaked);
}

}  // namespace
