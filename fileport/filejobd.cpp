#include "fileport/filejobd.h"

#include "fileport/part_file.h"
#include "platform/paths.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace voxa::fileport {

namespace {

constexpr int kSleepSliceMs = 50;

bool FileReadable(const std::string& path) {
    std::ifstream in(path);
    return static_cast<bool>(in);
}

bool IsUnavailable(const Status& s) { return s.code() == StatusCode::kUnavailable; }

std::string Truncated(std::string text, size_t max) {
    if (text.size() > max) text.resize(max);
    return text;
}

void HandleStopSignal(int) { FileJobStopFlag().store(true); }

}  // namespace

Location SplitLocation(std::string_view text) {
    std::string s(text);
    std::replace(s.begin(), s.end(), '\\', '/');
    size_t colon = s.size() > 1 ? s.find(':', 1) : std::string::npos;
    if (colon == std::string::npos) return {s, ""};
    return {s.substr(0, colon), s.substr(colon + 1)};
}

Status CheckJobFileName(std::string_view name) {
    if (name.empty()) return InvalidArgument("the file name is empty");
    if (name.size() > kMaxFileName)
        return InvalidArgument("the file name is longer than 255 bytes");
    if (name == "." || name == "..")
        return InvalidArgument("file name \"" + std::string(name) + "\" names a directory");
    if (name[0] == '-')
        return InvalidArgument("file name \"" + std::string(name) + "\" starts with '-'");
    for (char c : name) {
        if (c == '/' || c == '\\')
            return InvalidArgument("file name \"" + std::string(name) + "\" holds a path separator");
        if (c == '\0' || (!std::isalnum(static_cast<unsigned char>(c)) &&
            std::strchr(kJobFileNamePunctuation, c) == nullptr))
            return InvalidArgument("file name \"" + std::string(name) +
                                   "\" holds a character other than letters, digits and " +
                                   kJobFileNamePunctuation);
    }
    return Status::Ok();
}

Result<queue::QueueSettings> ReadFileJobSettings() {
    bool haveFile = FileReadable(DrivePath(queue::kQueueSettingsFile)) ||
                    FileReadable(DrivePath(queue::kQueueSettingsFallback));
    VOXA_ASSIGN_OR_RETURN(queue::QueueSettings settings, queue::ReadQueueSettings());
    if (!haveFile) {
        settings.user = kFileJobUser;
        settings.password = kFileJobPassword;
    }
    return settings;
}

std::atomic<bool>& FileJobStopFlag() {
    static std::atomic<bool> flag{false};
    return flag;
}

void InstallFileJobSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = HandleStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

SpawnResult RunInDirectory(const std::vector<std::string>& argv, const std::string& dir,
                           int timeoutSeconds) {
    SpawnResult result;
    if (argv.empty()) {
        result.error = "no program";
        return result;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The child starts with default handlers and nothing blocked.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    // Its own process group, so that ending it ends what it started too.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        result.error = "cannot run " + argv[0] + " in " + dir + ": " + std::strerror(rc);
        return result;
    }
    result.started = true;

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    std::optional<Clock::time_point> killAt;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            result.error = std::string("waitpid: ") + std::strerror(errno);
            return result;
        }
        if (!killAt) {
            bool stop = FileJobStopFlag().load();
            if (stop || Clock::now() >= deadline) {
                (stop ? result.stopped : result.timedOut) = true;
                kill(-pid, SIGTERM);
                killAt = Clock::now() + std::chrono::seconds(5);
            }
        } else if (Clock::now() >= *killAt) {
            kill(-pid, SIGKILL);
            killAt = Clock::time_point::max();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) result.exitStatus = 128 + WTERMSIG(status);
    return result;
}

FileJobDaemon::FileJobDaemon(queue::QueueSettings settings, FileJobOptions options,
                             DataRoots roots, std::FILE* out)
    : m_settings(std::move(settings)),
      m_options(std::move(options)),
      m_roots(std::move(roots)),
      m_out(out) {}

Status FileJobDaemon::Connect() {
    m_db.reset();
    auto db = queue::QueueDb::ConnectQueueHost(m_settings);
    if (!db.ok()) return db.status();
    VOXA_TRY((*db)->UseOrCreateDatabase(m_settings.database));
    m_db = std::move(*db);
    return Status::Ok();
}

Status FileJobDaemon::Start() {
    const bool talk = m_options.verbosity > 0;
    if (talk) {
        std::fprintf(m_out, "Localhost name is: --> %s <--\n", m_options.hostName.c_str());
        std::fprintf(m_out, "SQL host: %s\n", m_settings.host.c_str());
        std::fprintf(m_out, "SQL user: %s\n", m_settings.user.c_str());
    }
    Status s = Connect();
    if (!s.ok()) {
        std::fprintf(m_out, "ERROR:  %s\n", s.message().c_str());
        std::fflush(m_out);
        return s;
    }
    if (talk) std::fprintf(m_out, "Connected to MySQL host\n");
    std::fflush(m_out);
    return Status::Ok();
}

bool FileJobDaemon::Sleep(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!FileJobStopFlag().load()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left, kSleepSliceMs)));
    }
    return false;
}

template <typename Fn>
auto FileJobDaemon::WithDb(Fn fn) -> decltype(fn(std::declval<queue::QueueDb&>())) {
    int backoff = 500;
    for (;;) {
        if (m_db) {
            auto r = fn(*m_db);
            if (r.ok() || !IsUnavailable(r.status())) return r;
            std::fprintf(m_out, "ERROR: %s\n", r.status().message().c_str());
            m_db.reset();
        }
        if (FileJobStopFlag().load()) return Unavailable("stopped while the database was unreachable");
        std::fprintf(m_out, "Reconnecting to the database in %d ms\n", backoff);
        std::fflush(m_out);
        if (!Sleep(backoff)) return Unavailable("stopped while the database was unreachable");
        backoff = std::min(backoff * 2, m_options.maxBackoffMs);
        Status s = Connect();
        if (!s.ok()) {
            std::fprintf(m_out, "ERROR: %s\n", s.message().c_str());
        } else {
            std::fprintf(m_out, "Connected to MySQL host\n");
            backoff = 500;
        }
        std::fflush(m_out);
    }
}

std::string FileJobDaemon::HostCondition(queue::QueueDb& db, std::string_view column) {
    return "substring_index(" + std::string(column) + ", ':', 1) = " + db.Quote(m_options.hostName);
}

std::string FileJobDaemon::RequestWord(bool* stop) {
    *stop = false;
    std::string where;
    auto word = WithDb([&](queue::QueueDb& db) -> Result<std::optional<std::string>> {
        where = HostCondition(db, "host") + " order by number limit 1";
        return db.SelectValue(kFileHostsTable, "request", where);
    });
    std::string text;
    if (!word.ok()) {
        std::fprintf(m_out, "ERROR: %s\n", word.status().message().c_str());
        if (FileJobStopFlag().load()) *stop = true;
    } else if (!word->has_value()) {
        std::fprintf(m_out, "ERROR: %s\n",
                     ("no FileHosts row for host " + m_options.hostName).c_str());
    } else {
        text = word->value_or("");
    }
    if (m_options.verbosity > 0) {
        std::fprintf(m_out, "cWhere: -->%s<--\n", where.c_str());
        std::fprintf(m_out, "Requested State: %s\n", text.c_str());
    }
    std::fflush(m_out);
    return text;
}

FileJobDaemon::PassEnd FileJobDaemon::RunPass() {
    const bool talk = m_options.verbosity > 0;
    std::string state = "Hold";
    while (state == "Hold" || state == "OffLine") {
        bool stop = false;
        state = RequestWord(&stop);
        if (stop || FileJobStopFlag().load()) return PassEnd::kStopped;
        bool slept = true;
        if (state == "OffLine") slept = Sleep(m_options.offlinePollMs);
        else if (state == "Hold") slept = Sleep(m_options.holdPollMs);
        if (!slept) return PassEnd::kStopped;
    }
    if (state == "ShutDown") return PassEnd::kShutDown;

    // The most urgent NEW copy job of this host; ties go by job number.
    std::string select;
    auto rows = WithDb([&](queue::QueueDb& db) -> Result<queue::Rows> {
        select = "select number,action,name,source,destination from " +
                 std::string(kFileJobsTable) + " where status='NEW' and action='copy' and " +
                 HostCondition(db, "destination") + " order by priority is null, priority, number limit 1";
        return db.Query(select);
    });
    if (!rows.ok()) {
        // A broken table is not mended by asking again at once.
        std::fprintf(m_out, "%s\n", rows.status().message().c_str());
        std::fflush(m_out);
        return Sleep(m_options.idleMs) ? PassEnd::kIdle : PassEnd::kStopped;
    }
    if (rows->empty() || !(*rows)[0][0]) {
        if (m_options.verbosity > 10) std::fprintf(m_out, "Idling for %d sec\n", m_options.idleMs / 1000);
        std::fflush(m_out);
        return Sleep(m_options.idleMs) ? PassEnd::kIdle : PassEnd::kStopped;
    }
    const queue::Row& row = (*rows)[0];
    const std::string numberText = *row[0];
    const int number = std::atoi(numberText.c_str());
    const std::string where = "number='" + std::to_string(number) + "'";
    const std::string action = row[1].value_or("");
    const std::string name = row[2].value_or("");
    const std::string source = row[3].value_or("");
    const std::string destination = row[4].value_or("");
    if (talk) {
        std::fprintf(m_out, "iActions %zu\n", rows->size());
        std::fprintf(m_out, "cStr:    %s\n", numberText.c_str());
        std::fprintf(m_out, "iNumber: %d\n", number);
        std::fprintf(m_out, "cWhere:  %s\n", where.c_str());
        std::fprintf(m_out, "%s\n", select.c_str());
    }
    if (m_options.verbosity > 1000) {
        Location src = SplitLocation(source), dst = SplitLocation(destination);
        std::fprintf(m_out, "Number of actions found = %zu\n", rows->size());
        std::fprintf(m_out, "cAction      = %s\n", action.c_str());
        std::fprintf(m_out, "cName        = %s\n", name.c_str());
        std::fprintf(m_out, "cSource      = %s\n", source.c_str());
        std::fprintf(m_out, "cDestination = %s\n", destination.c_str());
        std::fprintf(m_out, "cSrcHost     = %s\n", src.host.c_str());
        std::fprintf(m_out, "cSrcDir      = %s\n", src.dir.c_str());
        std::fprintf(m_out, "cDstHost     = %s\n", dst.host.c_str());
        std::fprintf(m_out, "cDstDir      = %s\n", dst.dir.c_str());
    }

    if (m_options.claimDelayMs > 0 && !Sleep(m_options.claimDelayMs)) return PassEnd::kStopped;
    // Claim: only the daemon whose update turns NEW into Started goes on.
    auto claimed = WithDb([&](queue::QueueDb& db) -> Result<uint64_t> {
        return db.UpdateRows(kFileJobsTable, "status='Started', started=NOW(), finished=NULL",
                             where + " and status='NEW'");
    });
    if (!claimed.ok()) {
        std::fprintf(m_out, "ERROR: %s\n", claimed.status().message().c_str());
        std::fflush(m_out);
        return Sleep(m_options.idleMs) ? PassEnd::kIdle : PassEnd::kStopped;
    }
    if (*claimed != 1) {
        if (talk) std::fprintf(m_out, "Job %d was taken by another daemon\n", number);
        std::fflush(m_out);
        return PassEnd::kWorked;
    }
    CarryOut(number, name, source, destination);
    return FileJobStopFlag().load() ? PassEnd::kStopped : PassEnd::kWorked;
}

void FileJobDaemon::MarkJob(int number, const std::string& assignments) {
    const std::string where = "number='" + std::to_string(number) + "'";
    auto r = WithDb([&](queue::QueueDb& db) -> Result<uint64_t> {
        return db.UpdateRows(kFileJobsTable, assignments, where);
    });
    if (!r.ok()) std::fprintf(m_out, "ERROR: %s\n", r.status().message().c_str());
}

void FileJobDaemon::CarryOut(int number, const std::string& name, const std::string& source,
                             const std::string& destination) {
    const bool talk = m_options.verbosity > 0;
    auto fail = [&](const std::string& word, const std::string& reason) {
        std::fprintf(m_out, "Job %d %s: %s\n", number, word.c_str(), reason.c_str());
        std::fflush(m_out);
        std::string text = Truncated(word + ": " + reason, kStatusField);
        std::string quoted;
        auto q = WithDb([&](queue::QueueDb& db) -> Result<std::string> { return db.Quote(text); });
        quoted = q.ok() ? *q : "'" + word + "'";
        MarkJob(number, "status=" + quoted + ", started=started, finished=NOW()");
    };

    Location src = SplitLocation(source);
    Location dst = SplitLocation(destination);
    if (Status s = CheckJobFileName(name); !s.ok()) return fail("Refused", s.message());
    if (src.host.empty() || src.dir.empty())
        return fail("Refused", "source \"" + source + "\" is not HOST:DIR");
    if (src.host[0] == '-' || src.dir[0] == '-')
        return fail("Refused", "source \"" + source + "\" starts a word with '-'");
    if (dst.dir.empty()) return fail("Refused", "destination \"" + destination + "\" is not HOST:DIR");
    const std::string dstPath = DrivePath(dst.dir);
    // The file to be written must lie inside the data roots (the directory
    // may be a root itself).
    Result<ServedPath> confined = m_roots.Check(JoinPath(dstPath, name));
    if (!confined.ok())
        return fail("Refused", "destination " + dst.dir + ": " + confined.status().message());
    const ServedPath& served = *confined;
    const size_t slash = served.full.rfind('/');
    if (slash == std::string::npos || served.full.compare(slash + 1, std::string::npos, name) != 0)
        return fail("Refused", "destination " + dst.dir + ": " + name + " is a link");
    const std::string dstDir = slash == 0 ? "/" : served.full.substr(0, slash);
    struct stat st {};
    if (stat(dstDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return fail("Refused", "destination " + dst.dir + " is not a directory");

    const std::vector<std::string> command = {m_options.getfileProgram, src.host, src.dir, name};
    std::string echo;
    for (const std::string& w : command) echo += (echo.empty() ? "" : " ") + w;
    std::fflush(m_out);
    SpawnResult got = RunInDirectory(command, dstDir, m_options.getfileTimeoutSeconds);
    if (talk) {
        std::fprintf(m_out, "=====================================\n");
        std::fprintf(m_out, "%s\n", echo.c_str());
        std::fflush(m_out);
    }
    // getfile writes NAME.part and renames it when the copy is whole; one
    // stopped by a signal (a time-out, or this daemon stopping) cannot
    // remove it. Whatever the job's end, no partial copy stays behind.
    if (got.stopped || !got.started || got.timedOut || got.exitStatus != 0)
        ::unlink(JoinPath(dstDir, name + kPartSuffix).c_str());
    if (got.stopped) {
        std::fprintf(m_out, "Job %d interrupted; it goes back to NEW\n", number);
        MarkJob(number, "status='NEW', started=NULL, finished=NULL");
        return;
    }
    if (!got.started) return fail("Failed", got.error);
    if (got.timedOut)
        return fail("Failed", "getfile ran longer than " +
                                  std::to_string(m_options.getfileTimeoutSeconds) + " s");
    if (got.exitStatus != 0)
        return fail("Failed", "getfile ended with status " + std::to_string(got.exitStatus));
    const std::string fetched = JoinPath(dstDir, name);
    struct stat fs {};
    if (lstat(fetched.c_str(), &fs) != 0 || !S_ISREG(fs.st_mode))
        return fail("Failed", "getfile left no file " + name + " in " + dst.dir);
    if (talk) {
        std::fflush(m_out);
        RunInDirectory({m_options.listProgram, "-l", "--", name}, dstDir, 60);
    }
    MarkJob(number, "status='Finished', started=started, finished=NOW()");
    ReportSpace(dstDir);
    std::fflush(m_out);
}

void FileJobDaemon::ReportSpace(const std::string& dir) {
    struct statvfs vfs {};
    struct stat dirStat {};
    if (statvfs(dir.c_str(), &vfs) != 0 || stat(dir.c_str(), &dirStat) != 0) {
        std::fprintf(m_out, "ERROR: %s: %s\n", dir.c_str(), std::strerror(errno));
        return;
    }
    const uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    const long long toCaller = static_cast<long long>((vfs.f_bavail * unit) >> 20);
    const long long total = static_cast<long long>((vfs.f_blocks * unit) >> 20);
    const long long free = static_cast<long long>((vfs.f_bfree * unit) >> 20);
    if (m_options.verbosity > 0) {
        std::fprintf(m_out, "Free MB To Caller = %lld\n", toCaller);
        std::fprintf(m_out, "Total MB          = %lld\n", total);
        std::fprintf(m_out, "Free MB           = %lld\n", free);
    }
    // The rows of this host whose directory lies on the same file system.
    auto hosts = WithDb([&](queue::QueueDb& db) -> Result<queue::Rows> {
        return db.Query("select host from " + std::string(kFileHostsTable) + " where " +
                        HostCondition(db, "host"));
    });
    if (!hosts.ok()) {
        std::fprintf(m_out, "ERROR: %s\n", hosts.status().message().c_str());
        return;
    }
    for (const queue::Row& row : *hosts) {
        if (row.empty() || !row[0]) continue;
        Location loc = SplitLocation(*row[0]);
        struct stat rowStat {};
        if (loc.dir.empty() || stat(DrivePath(loc.dir).c_str(), &rowStat) != 0 ||
            rowStat.st_dev != dirStat.st_dev)
            continue;
        const std::string text = *row[0];
        auto r = WithDb([&](queue::QueueDb& db) -> Result<uint64_t> {
            return db.UpdateRows(kFileHostsTable, "space=" + std::to_string(toCaller),
                                 "host = " + db.Quote(text));
        });
        if (!r.ok()) std::fprintf(m_out, "ERROR: %s\n", r.status().message().c_str());
    }
}

int FileJobDaemon::Run() {
    const bool loop = m_options.loop || m_options.verbosity <= 100;
    for (;;) {
        PassEnd end = RunPass();
        if (end == PassEnd::kShutDown || end == PassEnd::kStopped || !loop) break;
    }
    m_db.reset();
    std::fprintf(m_out, "Exitting!\n");
    std::fflush(m_out);
    return 0;
}

}  // namespace voxa::fileport
