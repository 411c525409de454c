#include "queue/queue_db.h"
#include "platform/sys.h"

#include "platform/paths.h"

#include <mysql.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace voxa::queue {

namespace {

// Owner of a stored result.
struct ResultFree {
    void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};
using UniqueResult = std::unique_ptr<MYSQL_RES, ResultFree>;

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

Result<QueueSettings> ParseQueueSettings(std::string_view text) {
    QueueSettings settings;
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size() && words.size() < 4) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i > start) {
            if (i - start > kMaxSettingWord)
                return InvalidArgument("queue settings: word " + std::to_string(words.size() + 1) +
                                       " is longer than 255 characters");
            std::string word(text.substr(start, i - start));
            if (word.find('\0') != std::string::npos)
                return InvalidArgument("queue settings: word " + std::to_string(words.size() + 1) +
                                       " holds a NUL byte");
            words.push_back(std::move(word));
        }
    }
    if (words.size() > 0) settings.host = words[0];
    if (words.size() > 1) settings.user = words[1];
    if (words.size() > 2) settings.password = words[2];
    if (words.size() > 3) {
        if (AllDigits(words[3])) {
            unsigned long port = std::strtoul(words[3].c_str(), nullptr, 10);
            if (words[3].size() > 5 || port < 1 || port > 65535)
                return InvalidArgument("queue settings: port '" + words[3] +
                                       "' is not from 1 to 65535");
            settings.port = static_cast<unsigned>(port);
        } else {
            settings.socket = words[3];
        }
    }
    return settings;
}

Result<QueueSettings> ReadQueueSettings() {
    std::string text;
    bool found = ReadFileText(DrivePath(kQueueSettingsFile), text) ||
                 ReadFileText(DrivePath(kQueueSettingsFallback), text);
    QueueSettings settings;
    if (found) {
        VOXA_ASSIGN_OR_RETURN(settings, ParseQueueSettings(text));
    }
    if (settings.port == 0 && settings.socket.empty()) {
        if (const char* s = std::getenv("MYSQL_UNIX_PORT"); s != nullptr && *s != '\0')
            settings.socket = s;
        if (const char* p = std::getenv("MYSQL_TCP_PORT"); p != nullptr && AllDigits(p)) {
            unsigned long port = std::strtoul(p, nullptr, 10);
            if (port >= 1 && port <= 65535) settings.port = static_cast<unsigned>(port);
        }
    }
    if (const char* db = std::getenv(kQueueDatabaseEnv); db != nullptr && *db != '\0')
        settings.database = db;
    return settings;
}

std::string QuoteIdentifier(std::string_view name) {
    std::string out = "`";
    for (char c : name) {
        if (c == '`') out += '`';
        out += c;
    }
    out += '`';
    return out;
}

Status CheckMovieName(std::string_view name) {
    if (name.empty()) return InvalidArgument("a movie needs a name");
    if (name.size() > kMaxMovieName)
        return InvalidArgument("movie name '" + std::string(name) + "' is longer than " +
                               std::to_string(kMaxMovieName) +
                               " characters (its frame table name would be too long)");
    if (name[0] == '.') return InvalidArgument("movie name '" + std::string(name) + "' starts with '.'");
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f || c == '/' || c == '\\' || c == '`')
            return InvalidArgument("movie name '" + std::string(name) +
                                   "' may hold only printable characters without blanks, "
                                   "'/', '\\' or '`'");
    }
    return Status::Ok();
}

std::string FrameTable(std::string_view movieName) {
    return QuoteIdentifier(std::string(kFrameTablePrefix) + std::string(movieName));
}

QueueDb::~QueueDb() { mysql_close(m_mysql); }

Status QueueDb::Error(std::string_view what) {
    std::string message = std::string(what) + ": " + mysql_error(m_mysql);
    unsigned code = mysql_errno(m_mysql);
    // Lost or refused connections are "unavailable": the caller reconnects.
    if (code >= 2000 && code < 3000) return Unavailable(message);
    return Failed(message);
}

Result<std::unique_ptr<QueueDb>> QueueDb::ConnectQueueHost(const QueueSettings& settings) {
    MYSQL* mysql = mysql_init(nullptr);
    if (mysql == nullptr) return Failed("Was unable to connect to MySQL host: out of memory");
    std::unique_ptr<QueueDb> db(new QueueDb(mysql));
    unsigned timeout = static_cast<unsigned>(settings.timeoutSeconds > 0 ? settings.timeoutSeconds : 10);
    mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    mysql_options(mysql, MYSQL_OPT_READ_TIMEOUT, &timeout);
    mysql_options(mysql, MYSQL_OPT_WRITE_TIMEOUT, &timeout);
    if (!settings.socket.empty()) {
        unsigned protocol = MYSQL_PROTOCOL_SOCKET;
        mysql_options(mysql, MYSQL_OPT_PROTOCOL, &protocol);
    } else if (settings.port != 0) {
        unsigned protocol = MYSQL_PROTOCOL_TCP;
        mysql_options(mysql, MYSQL_OPT_PROTOCOL, &protocol);
    }
    if (mysql_real_connect(mysql, settings.host.c_str(), settings.user.c_str(),
                           settings.password.c_str(), nullptr, settings.port,
                           settings.socket.empty() ? nullptr : settings.socket.c_str(), 0) == nullptr) {
        return Unavailable("Was unable to connect to MySQL host " + settings.host + ": " +
                           mysql_error(mysql));
    }
    return db;
}

Status QueueDb::UseOrCreateDatabase(std::string_view name) {
    std::string use = "use " + QuoteIdentifier(name);
    if (mysql_real_query(m_mysql, use.data(), use.size()) == 0) return Status::Ok();
    std::string create = "create database if not exists " + QuoteIdentifier(name);
    if (mysql_real_query(m_mysql, create.data(), create.size()) != 0)
        return Error("create database " + std::string(name));
    if (mysql_real_query(m_mysql, use.data(), use.size()) != 0)
        return Error("use " + std::string(name));
    return Status::Ok();
}

Result<Rows> QueueDb::Query(std::string_view sql) {
    if (mysql_real_query(m_mysql, sql.data(), sql.size()) != 0) return Error(sql);
    UniqueResult result(mysql_store_result(m_mysql));
    if (!result) {
        if (mysql_field_count(m_mysql) != 0) return Error(sql);
        return Rows{};  // a statement without a result set
    }
    const unsigned columns = mysql_num_fields(result.get());
    Rows rows;
    rows.reserve(mysql_num_rows(result.get()));
    while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
        unsigned long* lengths = mysql_fetch_lengths(result.get());
        Row out(columns);
        for (unsigned c = 0; c < columns; ++c)
            if (row[c] != nullptr) out[c] = std::string(row[c], lengths[c]);
        rows.push_back(std::move(out));
    }
    if (mysql_errno(m_mysql) != 0) return Error(sql);
    return rows;
}

Result<uint64_t> QueueDb::Execute(std::string_view sql) {
    if (mysql_real_query(m_mysql, sql.data(), sql.size()) != 0) return Error(sql);
    UniqueResult result(mysql_store_result(m_mysql));  // freed if the statement had one
    my_ulonglong affected = mysql_affected_rows(m_mysql);
    if (affected == static_cast<my_ulonglong>(-1)) return uint64_t{0};
    return static_cast<uint64_t>(affected);
}

std::string QueueDb::Quote(std::string_view value) {
    std::string out(value.size() * 2 + 1, '\0');
    unsigned long n = mysql_real_escape_string(m_mysql, out.data(), value.data(), value.size());
    out.resize(n);
    return "'" + out + "'";
}

Result<std::optional<std::string>> QueueDb::SelectValue(std::string_view table,
                                                        std::string_view column,
                                                        std::string_view where) {
    std::string sql = "select " + std::string(column) + " from " + std::string(table) +
                      " where " + std::string(where);
    VOXA_ASSIGN_OR_RETURN(Rows rows, Query(sql));
    if (rows.empty() || rows[0].empty()) return std::optional<std::string>();
    return rows[0][0];
}

Result<uint64_t> QueueDb::UpdateRows(std::string_view table, std::string_view assignments,
                                     std::string_view where) {
    return Execute("update " + std::string(table) + " set " + std::string(assignments) +
                   " where " + std::string(where));
}

Result<std::vector<QueueDb::NumberStatus>> QueueDb::SelectNumberStatus(std::string_view table,
                                                                       std::string_view where) {
    VOXA_ASSIGN_OR_RETURN(Rows rows, Query("select number,status from " + std::string(table) +
                                           " where " + std::string(where)));
    std::vector<NumberStatus> out;
    for (const Row& row : rows) {
        if (row.size() < 2 || !row[0]) continue;
        out.push_back({std::atoi(row[0]->c_str()), row[1].value_or("")});
    }
    return out;
}

Status QueueDb::CreateQueueTables() {
    VOXA_ASSIGN_OR_RETURN(uint64_t ignored, Execute(std::string("create table if not exists ") +
                                                    kMoviesTable + " " + kMoviesTableColumns));
    VOXA_ASSIGN_OR_RETURN(ignored, Execute(std::string("create table if not exists ") +
                                           kFilesTable + " " + kFilesTableColumns));
    (void)ignored;
    return Status::Ok();
}

}  // namespace voxa::queue
