// Helpers shared by the test programs: temporary directories and scoped
// environment variables (a fresh VOXA_ROOT for every test).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace voxa::testing {

// A fresh directory under base (default $TMPDIR or /tmp), removed with its
// contents on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& base = "");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Sets an environment variable for the lifetime of the object and restores
// the previous value (or its absence) afterwards. An empty optional value
// unsets the variable.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_hadOld = false;
};

// A TempDir that is also installed as VOXA_ROOT.
class FreshRoot {
public:
    FreshRoot() : m_env("VOXA_ROOT", m_dir.Path().c_str()) {}
    const std::string& Path() const { return m_dir.Path(); }
    std::string File(const std::string& name) const { return m_dir.File(name); }

private:
    TempDir m_dir;
    ScopedEnv m_env;
};

// A private Xvfb server for one test, on a free display number chosen by
// Xvfb itself (-displayfd); DISPLAY points at it while the object lives, and
// the server is stopped by its own pid at the end. Ok() is false when Xvfb
// could not be started (tests then skip).
class PrivateXServer {
public:
    explicit PrivateXServer(const char* screen = "800x600x24");
    ~PrivateXServer();
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;
    bool Ok() const { return m_env != nullptr; }
    const std::string& Display() const { return m_display; }

private:
    int m_pid = -1;
    std::string m_display;
    std::unique_ptr<ScopedEnv> m_env;
};

// Whole contents of a file ("" when missing).
std::string ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& data);

struct CommandResult {
    int status = -1;  // exit status, -1 when killed or not run
    std::string out;  // standard output
};
// Runs a shell command line and collects its standard output.
CommandResult RunCommand(const std::string& command);

// Polls condition every 5 ms for up to ms milliseconds; its last answer.
bool WaitFor(const std::function<bool()>& condition, int ms = 10000);

// A TCP port on loopback that nothing listens on at the moment of asking.
uint16_t FreePort();
// True when something accepts connections on address:port.
bool Listening(uint16_t port, const char* address = "127.0.0.1");

// A program run by a test: started with an argument vector (no shell) and
// extra environment variables, stopped with SIGTERM and reaped on
// destruction (SIGKILL after 5 s). Output goes where the test's goes.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv,
                 const std::vector<std::pair<std::string, std::string>>& env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Running();
    void Signal(int sig);
    // Waits up to ms for the process to end; its exit status (128 + signal
    // when killed), or -1 when it is still running.
    int Wait(int ms = 10000);

private:
    pid_t m_pid = -1;
    int m_status = -1;
};

}  // namespace voxa::testing
