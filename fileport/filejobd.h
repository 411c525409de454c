// filejobd: carries out the file-copy jobs queued in the SQL tables FileJobs
// and FileHosts for this host.
//
// Each pass reads the request word of this host from FileHosts ("Hold":
// poll again in a second; "OffLine": in 100 s; "ShutDown": stop; anything
// else: work), then takes the most urgent NEW "copy" job whose destination
// host is this host (lowest priority value first, then lowest number),
// claims it with a conditional update (only one daemon can turn a NEW row
// into 'Started'), runs `getfile SRCHOST SRCDIR NAME` by posix_spawn in the
// destination directory, lists the file, marks the job and writes the free
// space of the destination file system into the FileHosts rows of this host
// on that file system.
//
// Job status words written: 'Started' (claimed), 'Finished' (the file is in
// the destination), "Failed: REASON" (getfile failed, timed out or left no
// file), "Refused: REASON" (the job names an unsafe file name, a source that
// could be taken for an option, or a destination outside the data roots).
// A job whose getfile is interrupted by SIGTERM goes back to 'NEW'.
//
// No value read from the tables ever reaches a shell; host names are
// compared exactly (the text before the first colon of a location).
#pragma once

#include "platform/data_roots.h"
#include "platform/status.h"
#include "queue/queue_db.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace voxa::fileport {

inline constexpr char kFileJobsTable[] = "FileJobs";
inline constexpr char kFileHostsTable[] = "FileHosts";
inline constexpr char kFileJobUser[] = "omni";
inline constexpr char kFileJobPassword[] = "tarnup";
inline constexpr size_t kLocationField = 255;  // location texts are at most this long
inline constexpr size_t kStatusField = 255;    // the status column's width

// Column definitions of the two tables, as a site creates them.
inline constexpr char kFileJobsColumns[] =
    "(number int not null primary key auto_increment, status varchar(255), priority int, "
    "action varchar(255), name varchar(255), source varchar(255), destination varchar(255), "
    "started timestamp, finished timestamp)";
inline constexpr char kFileHostsColumns[] =
    "(number int not null primary key auto_increment, host varchar(255), "
    "request varchar(255), space int)";

// "host:dir": host is the text before the first colon (a colon in the first
// character does not count), dir the rest; backslashes become "/". Without
// a colon, host is the whole text and dir is empty.
struct Location {
    std::string host;
    std::string dir;
};
Location SplitLocation(std::string_view text);

// A name getfile may fetch into a directory: 1 to 255 bytes of ASCII
// letters, digits and kJobFileNamePunctuation (no blanks, no "/" or "\\", no
// characters a shell would act on), not "." or "..", not starting with "-".
// Else the reason.
inline constexpr char kJobFileNamePunctuation[] = "._-+,=@%#";
Status CheckJobFileName(std::string_view name);

// Settings: the queue settings file, or the built-in host with the
// daemon's own account when neither file exists.
Result<queue::QueueSettings> ReadFileJobSettings();

struct FileJobOptions {
    std::string hostName;                 // this computer
    int verbosity = 200;
    bool loop = false;                    // repeat passes (also when verbosity <= 100)
    int idleMs = 10000;                   // sleep when no job waits
    int holdPollMs = 1000;                // "Hold"
    int offlinePollMs = 100000;           // "OffLine"
    int getfileTimeoutSeconds = 3600;     // a longer getfile is ended and its job failed
    std::string getfileProgram = "getfile";  // looked up on PATH
    std::string listProgram = "ls";          // lists the fetched file
    int maxBackoffMs = 30000;             // reconnect back-off ceiling
    // Pause between choosing a job and claiming it ($VOXA_FILEJOBD_CLAIM_DELAY_MS):
    // lets tests make two daemons choose the same job.
    int claimDelayMs = 0;
};

// Set from a SIGTERM/SIGINT handler: every sleep and wait ends soon after.
std::atomic<bool>& FileJobStopFlag();
// Installs handlers for SIGTERM and SIGINT that set the stop flag.
void InstallFileJobSignalHandlers();

// Result of running a program.
struct SpawnResult {
    bool started = false;
    bool timedOut = false;
    bool stopped = false;   // ended because the stop flag was set
    int exitStatus = -1;    // exit code, or 128 + signal
    std::string error;      // why it did not start
};
// Runs argv (argv[0] looked up on PATH) in dir without a shell, in a process
// group of its own; ends the group (SIGTERM, SIGKILL 5 s later) after
// timeoutSeconds or when the stop flag is set.
SpawnResult RunInDirectory(const std::vector<std::string>& argv, const std::string& dir,
                           int timeoutSeconds);

class FileJobDaemon {
public:
    FileJobDaemon(queue::QueueSettings settings, FileJobOptions options, DataRoots roots,
                  std::FILE* out);

    // Start: prints the start lines, connects and opens the database.
    // A failure is printed ("ERROR:  ...") and returned.
    Status Start();
    // Runs passes until ShutDown, the stop flag, or after one pass without
    // looping. The exit status: 0.
    int Run();

    enum class PassEnd { kWorked, kIdle, kShutDown, kStopped };
    PassEnd RunPass();

private:
    Status Connect();
    // Runs fn with the connection, reconnecting with back-off while the
    // server is unreachable; gives up only when the stop flag is set.
    template <typename Fn>
    auto WithDb(Fn fn) -> decltype(fn(std::declval<queue::QueueDb&>()));
    bool Sleep(int ms);
    std::string RequestWord(bool* stop);
    void CarryOut(int number, const std::string& name, const std::string& source,
                  const std::string& destination);
    void MarkJob(int number, const std::string& assignments);
    void ReportSpace(const std::string& dir);
    std::string HostCondition(queue::QueueDb& db, std::string_view column);

    queue::QueueSettings m_settings;
    FileJobOptions m_options;
    DataRoots m_roots;
    std::FILE* m_out;
    std::unique_ptr<queue::QueueDb> m_db;
};

}  // namespace voxa::fileport
