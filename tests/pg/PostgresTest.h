#pragma once

#include <gtest/gtest.h>

#include <string>

#include "pg/PostgresServer.h"

// Starts server for the current test: skips the test when no server binaries are installed,
// fails it when they are but the server does not start, or when TAGBENCH_REQUIRE_POSTGRES=1 (CI)
// asks for a server. Use in a test body or SetUp, like ASSERT_*.
#define TAGBENCH_START_POSTGRES(server)                     \
    do {                                                    \
        std::string tagbenchPgWhy;                          \
        switch (StartTestServer((server), tagbenchPgWhy)) { \
            case PostgresStart::Started:                    \
                break;                                      \
            case PostgresStart::NoServer:                   \
                GTEST_SKIP() << tagbenchPgWhy;              \
            case PostgresStart::Failed:                     \
                FAIL() << tagbenchPgWhy;                    \
        }                                                   \
    } while (false)

// A test with its own server, started in SetUp; each test gets a fresh one (a TEST runs in a
// process of its own, ~2.5 s each, so keep such tests few and put tables of cases inside them).
class PostgresTest : public ::testing::Test {
protected:
    void SetUp() override { TAGBENCH_START_POSTGRES(server); }

    // A new database on the server and its connection string; fails the test when refused.
    std::string NewDatabase(const std::string& name) {
        std::string error;
        EXPECT_TRUE(server.CreateDatabase(name, &error)) << error;
        return server.ConnectionString(name);
    }

    PostgresServer server;
};
