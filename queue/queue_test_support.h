// Test helpers for programs that need a queue database: a private MariaDB
// server in a temporary directory (one per test program, started on first
// use and stopped at exit) and a fresh database per test case.
//
//   auto& server = voxa::queue::testing::SharedMariaDb();   // skips when absent
//   voxa::queue::testing::FreshDatabase db(server);         // "t_<pid>_<n>"
//   db.Connect() -> a QueueDb using that database
//
// The server listens on 127.0.0.1 at a free port and on a socket in its
// directory; it runs as the invoking user (with --user=root when that is
// root). Single-threaded test code only.
#pragma once

#include "platform/test_support.h"
#include "queue/queue_db.h"

#include <memory>
#include <string>

namespace voxa::queue::testing {

class PrivateMariaDb {
public:
    PrivateMariaDb();
    ~PrivateMariaDb();
    PrivateMariaDb(const PrivateMariaDb&) = delete;
    PrivateMariaDb& operator=(const PrivateMariaDb&) = delete;

    // False (with Error()) when the server could not be started.
    bool Ok() const { return m_pid > 0 && m_error.empty(); }
    // False when the MariaDB server programs are not installed (tests skip);
    // a server that is installed but does not start fails the tests.
    bool Installed() const { return m_installed; }
    const std::string& Error() const { return m_error; }
    unsigned Port() const { return m_port; }
    const std::string& Socket() const { return m_socket; }
    pid_t Pid() const { return m_pid; }
    // Settings of an account with every privilege, over TCP.
    QueueSettings RootSettings(const std::string& database = "") const;

    // Stops the server (SIGTERM, waits) and starts it again on the same data,
    // port and socket: a database restart mid-run.
    bool Restart();
    void Stop();

private:
    bool Launch();
    QueueSettings RootAccount() const;
    ::voxa::testing::TempDir m_dir;
    std::string m_socket;
    std::string m_error;
    unsigned m_port = 0;
    pid_t m_pid = -1;
    bool m_installed = false;
};

// In a test body: skips when no server is installed, fails when it is but
// did not start.
#define VOXA_REQUIRE_QUEUE_SERVER()                                                      \
    do {                                                                                 \
        auto& voxa_server_ = ::voxa::queue::testing::SharedMariaDb();                    \
        if (!voxa_server_.Installed()) GTEST_SKIP() << voxa_server_.Error();             \
        ASSERT_TRUE(voxa_server_.Ok()) << voxa_server_.Error();                          \
    } while (0)

// The server of this test program, started on first use.
PrivateMariaDb& SharedMariaDb();

// A new database with the queue tables, dropped at destruction; the
// environment names it (VOXA_QUEUE_DATABASE) and the settings file under a
// fresh VOXA_ROOT points at the server, so that child processes and
// ReadQueueSettings() find it.
class FreshDatabase {
public:
    explicit FreshDatabase(PrivateMariaDb& server);
    ~FreshDatabase();
    const std::string& Name() const { return m_name; }
    QueueSettings Settings() const { return m_server.RootSettings(m_name); }
    // A new connection with this database selected.
    std::unique_ptr<QueueDb> Connect() const;
    const ::voxa::testing::FreshRoot& Root() const { return m_root; }

private:
    PrivateMariaDb& m_server;
    ::voxa::testing::FreshRoot m_root;
    std::string m_name;
    std::unique_ptr<::voxa::testing::ScopedEnv> m_env;
};

}  // namespace voxa::queue::testing
