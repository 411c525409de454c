// Access to the render queue database (MariaDB/MySQL through Connector/C).
//
// QueueSettings says where the queue server is: the settings file
// "C:/VOXA_DEFAULT_SQL_QUEUE.txt" ($VOXA_ROOT), falling back to
// "H:/VOXA_DEFAULT_SQL_QUEUE.txt" ($VOXA_SHARED), holds host, user and
// password, and optionally a fourth word: a TCP port (digits) or a socket
// path. Without a fourth word MYSQL_UNIX_PORT / MYSQL_TCP_PORT apply.
//
// QueueDb owns one client connection (MYSQL*), made with connect, read and
// write time-outs so that a dead server never hangs a caller. Statements are
// std::strings of any length, sent with their length; result values are
// copied with their lengths (a blob may hold NUL bytes) and a NULL column is
// an empty optional. Every value pasted into a statement goes through
// Quote() (mysql_real_escape_string), every table name through
// QuoteIdentifier().
//
// One thread uses a QueueDb at a time (the client handle is not shared).
#pragma once

#include "platform/status.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct st_mysql;

namespace voxa::queue {

inline constexpr char kQueueSettingsFile[] = "C:/VOXA_DEFAULT_SQL_QUEUE.txt";
inline constexpr char kQueueSettingsFallback[] = "H:/VOXA_DEFAULT_SQL_QUEUE.txt";
inline constexpr char kDefaultQueueHost[] = "localhost";
inline constexpr char kDefaultQueueUser[] = "ops";
inline constexpr char kDefaultQueuePassword[] = "plum";
inline constexpr char kQueueDatabase[] = "VOXA_PROJECTS";
// Overrides the database name (tests give every case a fresh database).
inline constexpr char kQueueDatabaseEnv[] = "VOXA_QUEUE_DATABASE";
inline constexpr char kMoviesTable[] = "VOXA_Movies";
inline constexpr char kFilesTable[] = "Files";
inline constexpr char kFrameTablePrefix[] = "frames_";
inline constexpr size_t kMaxSettingWord = 255;
// Identifiers are at most 64 characters; the frame table adds "frames_".
inline constexpr size_t kMaxMovieName = 64 - (sizeof(kFrameTablePrefix) - 1);

struct QueueSettings {
    std::string host = kDefaultQueueHost;
    std::string user = kDefaultQueueUser;
    std::string password = kDefaultQueuePassword;
    unsigned port = 0;    // 0: the client library's default (or MYSQL_TCP_PORT)
    std::string socket;   // empty: the default (or MYSQL_UNIX_PORT)
    std::string database = kQueueDatabase;
    int timeoutSeconds = 10;  // connect, read and write time-outs
};

// Parses the text of a settings file over the defaults: up to four
// whitespace-separated words (host, user, password, port or socket), each
// at most 255 characters (a longer word is refused). Missing words keep
// their defaults.
Result<QueueSettings> ParseQueueSettings(std::string_view text);

// Reads the settings file (first the machine root's, then the shared one),
// or the defaults when neither exists; applies MYSQL_UNIX_PORT and
// MYSQL_TCP_PORT when the file names no port or socket, and
// VOXA_QUEUE_DATABASE.
Result<QueueSettings> ReadQueueSettings();

// One row of a result: each column a value or nullopt for NULL.
using Row = std::vector<std::optional<std::string>>;
using Rows = std::vector<Row>;

// "`name`" with backquotes doubled.
std::string QuoteIdentifier(std::string_view name);

// A movie name that can name its frame table and its panel files: 1 to 57
// characters, printable ASCII without blanks, "/", "\\" or "`", and not
// starting with ".". The message says what is wrong.
Status CheckMovieName(std::string_view name);
// The quoted frame table of a movie: "`frames_NAME`".
std::string FrameTable(std::string_view movieName);

class QueueDb {
public:
    ~QueueDb();
    QueueDb(const QueueDb&) = delete;
    QueueDb& operator=(const QueueDb&) = delete;

    // Connects with the settings (no database selected).
    static Result<std::unique_ptr<QueueDb>> ConnectQueueHost(const QueueSettings& settings);

    // "use" the database, creating it when it does not exist yet.
    Status UseOrCreateDatabase(std::string_view name);

    // Runs a statement that returns rows.
    Result<Rows> Query(std::string_view sql);
    // Runs a statement that changes rows; the number of rows it changed
    // (matched rows that already held the new values count as unchanged).
    Result<uint64_t> Execute(std::string_view sql);

    // "'value'" escaped for this connection's character set.
    std::string Quote(std::string_view value);

    // The helpers the queue node uses.
    // First column of the first row matching where (nullopt: no row).
    Result<std::optional<std::string>> SelectValue(std::string_view table, std::string_view column,
                                                   std::string_view where);
    // Changed-row count of "update table set assignments where condition".
    Result<uint64_t> UpdateRows(std::string_view table, std::string_view assignments,
                                std::string_view where);
    // Numbers and statuses of the frames matching where (the condition may
    // carry "order by" and "limit").
    struct NumberStatus {
        int number = 0;
        std::string status;
    };
    Result<std::vector<NumberStatus>> SelectNumberStatus(std::string_view table,
                                                         std::string_view where);

    // Creates the movie list and the Files table when missing.
    Status CreateQueueTables();

    st_mysql* Handle() { return m_mysql; }

private:
    explicit QueueDb(st_mysql* mysql) : m_mysql(mysql) {}
    Status Error(std::string_view what);
    st_mysql* m_mysql;
};

// Column definitions of a movie's frame table, as authors create it.
inline constexpr char kFrameTableColumns[] =
    "(number int not null primary key auto_increment,    zbfile  varchar(255),    voxain   "
    "blob,    status  varchar(255),    start   timestamp,    finish  timestamp    )";
inline constexpr char kMoviesTableColumns[] =
    "(number int not null primary key auto_increment,    name         varchar(255),    "
    "options      blob,    frusta       blob,    destinations blob,    status       "
    "varchar(255) )";
inline constexpr char kFilesTableColumns[] =
    "(number int not null primary key auto_increment, host varchar(255), mount varchar(255), "
    "dir varchar(255), name varchar(255), KEY host_name (host, name))";

}  // namespace voxa::queue
