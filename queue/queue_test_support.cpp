#include "queue/queue_test_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace voxa::queue::testing {

namespace {

bool Exists(const std::string& program) {
    return ::voxa::testing::RunCommand("command -v " + program + " >/dev/null 2>&1 || test -x /usr/sbin/" +
                                       program)
               .status == 0;
}

}  // namespace

PrivateMariaDb::PrivateMariaDb() {
    m_socket = m_dir.File("mysqld.sock");
    if (!Exists("mariadbd") || !Exists("mariadb-install-db")) {
        m_error = "mariadbd or mariadb-install-db is not installed";
        return;
    }
    m_installed = true;
    std::string asRoot = getuid() == 0 ? " --user=root" : "";
    auto install = ::voxa::testing::RunCommand(
        "mariadb-install-db --no-defaults --datadir=" + m_dir.File("data") + asRoot +
        " --auth-root-authentication-method=normal --skip-test-db > " + m_dir.File("install.log") +
        " 2>&1 && echo ok");
    if (install.out.find("ok") == std::string::npos) {
        m_error = "mariadb-install-db failed: " + ::voxa::testing::ReadWholeFile(m_dir.File("install.log"));
        return;
    }
    // A free port may be taken by another program before the server binds
    // it: a few tries, each on a fresh port.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = ::voxa::testing::FreePort();
        if (Launch()) break;
    }
}

bool PrivateMariaDb::Launch() {
    m_pid = fork();
    if (m_pid == 0) {
        std::string datadir = "--datadir=" + m_dir.File("data");
        std::string socket = "--socket=" + m_socket;
        std::string pid = "--pid-file=" + m_dir.File("mysqld.pid");
        std::string port = "--port=" + std::to_string(m_port);
        std::string log = "--log-error=" + m_dir.File("mysqld.log");
        std::vector<std::string> args = {"mariadbd", "--no-defaults", datadir, socket, pid, port,
                                         "--bind-address=127.0.0.1", "--skip-networking=0", log,
                                         "--skip-log-bin", "--innodb-buffer-pool-size=16M",
                                         "--innodb-flush-log-at-trx-commit=2",
                                         "--max-connections=200", "--skip-name-resolve"};
        if (getuid() == 0) args.push_back("--user=root");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp("mariadbd", argv.data());
        execv("/usr/sbin/mariadbd", argv.data());
        _exit(127);
    }
    if (m_pid < 0) {
        m_error = "fork failed";
        return false;
    }
    // Ready when the root account answers.
    bool up = ::voxa::testing::WaitFor(
        [&] {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return true;
            }
            auto db = QueueDb::ConnectQueueHost(RootAccount());
            return db.ok();
        },
        60000);
    if (!up || m_pid < 0) {
        m_error = "mariadbd did not start: " + ::voxa::testing::ReadWholeFile(m_dir.File("mysqld.log"));
        return false;
    }
    // A password account for the settings file (root has none).
    auto root = QueueDb::ConnectQueueHost(RootAccount());
    if (!root.ok()) {
        m_error = root.status().message();
        return false;
    }
    for (const char* sql : {"create user if not exists 'voxa'@'%' identified by 'voxa'",
                            "create user if not exists 'voxa'@'localhost' identified by 'voxa'",
                            "grant all privileges on *.* to 'voxa'@'%', 'voxa'@'localhost'"}) {
        auto done = (*root)->Execute(sql);
        if (!done.ok()) {
            m_error = done.status().message();
            return false;
        }
    }
    m_error.clear();
    return true;
}

QueueSettings PrivateMariaDb::RootAccount() const {
    QueueSettings s = RootSettings();
    s.user = "root";
    s.password = "";
    return s;
}

void PrivateMariaDb::Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 600; ++i) {
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(m_pid, SIGKILL);
    waitpid(m_pid, &status, 0);
    m_pid = -1;
}

bool PrivateMariaDb::Restart() {
    Stop();
    return Launch();
}

PrivateMariaDb::~PrivateMariaDb() { Stop(); }

QueueSettings PrivateMariaDb::RootSettings(const std::string& database) const {
    QueueSettings s;
    s.host = "127.0.0.1";
    s.user = "voxa";
    s.password = "voxa";
    s.port = m_port;
    s.database = database;
    s.timeoutSeconds = 30;
    return s;
}

PrivateMariaDb& SharedMariaDb() {
    static PrivateMariaDb server;
    return server;
}

FreshDatabase::FreshDatabase(PrivateMariaDb& server) : m_server(server) {
    static int counter = 0;
    m_name = "t_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    m_env = std::make_unique<::voxa::testing::ScopedEnv>(kQueueDatabaseEnv, m_name.c_str());
    ::voxa::testing::WriteWholeFile(
        m_root.File("VOXA_DEFAULT_SQL_QUEUE.txt"),
        "127.0.0.1 voxa voxa " + std::to_string(server.Port()) + "\n");
    auto db = QueueDb::ConnectQueueHost(server.RootSettings());
    if (!db.ok()) return;
    (void)(*db)->Execute("drop database if exists " + QuoteIdentifier(m_name));
    if ((*db)->UseOrCreateDatabase(m_name).ok()) (void)(*db)->CreateQueueTables();
}

FreshDatabase::~FreshDatabase() {
    auto db = QueueDb::ConnectQueueHost(m_server.RootSettings());
    if (db.ok()) (void)(*db)->Execute("drop database if exists " + QuoteIdentifier(m_name));
}

std::unique_ptr<QueueDb> FreshDatabase::Connect() const {
    auto db = QueueDb::ConnectQueueHost(Settings());
    if (!db.ok()) return nullptr;
    if (!(*db)->UseOrCreateDatabase(m_name).ok()) return nullptr;
    return std::move(*db);
}

}  // namespace voxa::queue::testing
