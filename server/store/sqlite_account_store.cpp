#include "server/store/sqlite_account_store.h"

#include "server/store/schema_version.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sqlite3.h>
#include <unistd.h>

namespace parlonda {
namespace {

// The schema, one step per version (see schema_version.h); the version is
// SQLite's user_version. Step 1 makes the table as the first stand-in
// service did, which kept no version: on its files the table is there and
// the step only records the version. The password never reaches this file:
// only its Argon2id string does.
constexpr std::array<const char *, 1> kSchemaSteps = {
    R"sql(
CREATE TABLE IF NOT EXISTS accounts (
    id            INTEGER PRIMARY KEY,
    nick          TEXT NOT NULL,
    nick_key      TEXT NOT NULL UNIQUE CHECK (nick_key <> ''),
    names         TEXT NOT NULL,
    email         TEXT NOT NULL,
    phone         TEXT NOT NULL,
    city          TEXT NOT NULL,
    country       TEXT NOT NULL,
    password_hash TEXT NOT NULL,
    created_at    TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))
);
)sql",
};

constexpr const char *kInsert =
    "INSERT INTO accounts (nick, nick_key, names, email, phone, city, country, password_hash) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
constexpr const char *kLookup = "SELECT 1 FROM accounts WHERE nick_key = ?1";
// The age is NULL when created_at is not a time SQLite can read.
constexpr const char *kFind =
    "SELECT nick, names, email, phone, city, country, password_hash, "
    "CAST(strftime('%s', 'now') AS INTEGER) - CAST(strftime('%s', created_at) AS INTEGER) "
    "FROM accounts WHERE nick_key = ?1";

// Another process (a backup, a curious sqlite3 shell) may hold the file for
// a moment; wait for it rather than fail a sign-up, but not so long that a
// stopping service waits with it.
constexpr int kBusyTimeoutMs = 1000;

// The file is there but cannot be used now: another process holds it (a
// backup, an sqlite3 shell), the disk is full or failing. The statement's
// transaction is rolled back whole, and the same statement works once the
// cause has gone.
bool meansUnavailable(int rc)
{
    switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL:
    case SQLITE_IOERR:
        return true;
    default:
        return false;
    }
}

std::string describe(sqlite3 *db, const std::string &what)
{
    return what + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

int bindText(sqlite3_stmt *statement, int index, const std::string &text)
{
    return sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT);
}

// SQLite creates a missing database readable by everyone (0644 less the
// umask); the file holds e-mail addresses and password hashes. Its journal
// files take the database's mode.
bool createPrivately(const std::string &path, std::string &error)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot open " + path + " for writing: " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    return true;
}

long long userVersion(sqlite3 *db)
{
    sqlite3_stmt *statement = nullptr;
    long long version = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        version = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return version;
}

// Brings the file to the newest schema in one transaction, which also waits
// for a second copy of the service doing the same. The version is written
// at every start, also when it stays: a real write that changes nothing, so
// that a file, folder or disk that refuses writes (also a file SQLite itself
// opens read-only) is found now, not at the first sign-up.
bool upgrade(sqlite3 *db, const std::string &path, std::string &error)
{
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = describe(db, "cannot write to " + path);
        return false;
    }
    const long long version = userVersion(db);
    bool done = version >= 0;
    if (!done)
        error = describe(db, "cannot read the schema version of " + path);
    else if (version > static_cast<long long>(kSchemaSteps.size())) {
        error = newerSchemaRefusal(path, version, kSchemaSteps.size());
        done = false;
    }
    for (auto step = static_cast<std::size_t>(std::max(version, 0LL));
         done && step < kSchemaSteps.size(); ++step) {
        done = sqlite3_exec(db, kSchemaSteps[step], nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!done)
            error = describe(db, "cannot bring " + path + " to schema version " +
                                     std::to_string(step + 1));
    }
    if (done) {
        const std::string record = "PRAGMA user_version = " + std::to_string(kSchemaSteps.size());
        done = sqlite3_exec(db, record.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
               sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!done)
            error = describe(db, "cannot write to " + path);
    }
    if (!done)
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return done;
}

std::string folderOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The path as an SQLite URI's: every byte but the plainest escaped.
std::string uriPath(const std::string &path)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    for (const unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_') {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 15];
        }
    }
    return escaped;
}

// A file format that SQLite will only read (its write version, byte 18 of
// the header, above 2): a start could not write to it.
bool readOnlyFormat(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    char header[19] = {};
    return file.read(header, sizeof header) && static_cast<unsigned char>(header[18]) > 2;
}

} // namespace

struct SqliteAccountStore::Connection
{
    sqlite3 *db = nullptr;
    sqlite3_stmt *statement = nullptr;
    sqlite3_stmt *find = nullptr; // the reader's second statement

    ~Connection()
    {
        sqlite3_finalize(find);
        sqlite3_finalize(statement);
        sqlite3_close(db);
    }

    bool open(const std::string &path, std::string &error)
    {
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            error = describe(db, "cannot open " + path);
            return false;
        }
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        if (sqlite3_db_readonly(db, "main") == 1) {
            error = "cannot write to " + path + ": the database is read-only";
            return false;
        }
        // WAL, so that look-ups go on while a sign-up commits; FULL, so that
        // an account is on disk before its "OK" goes out.
        if (sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL;", nullptr,
                         nullptr, nullptr) != SQLITE_OK) {
            error = describe(db, "cannot write to " + path);
            return false;
        }
        return true;
    }

    bool prepare(const char *sql, const std::string &path, std::string &error)
    {
        return prepare(sql, statement, path, error);
    }

    bool prepare(const char *sql, sqlite3_stmt *&into, const std::string &path, std::string &error)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &into, nullptr) != SQLITE_OK) {
            error = describe(db, "cannot set up the accounts table in " + path);
            return false;
        }
        return true;
    }
};

std::unique_ptr<AccountStore> SqliteAccountStore::open(const std::string &path, std::string &error)
{
    if (!createPrivately(path, error))
        return nullptr;
    auto writer = std::make_unique<Connection>();
    if (!writer->open(path, error))
        return nullptr;
    if (!upgrade(writer->db, path, error) || !writer->prepare(kInsert, path, error))
        return nullptr;
    auto reader = std::make_unique<Connection>();
    if (!reader->open(path, error) || !reader->prepare(kLookup, path, error) ||
        !reader->prepare(kFind, reader->find, path, error))
        return nullptr;
    return std::unique_ptr<AccountStore>(
        new SqliteAccountStore(std::move(writer), std::move(reader)));
}

SqliteAccountStore::SqliteAccountStore(std::unique_ptr<Connection> writer,
                                       std::unique_ptr<Connection> reader)
    : m_writer(std::move(writer)), m_reader(std::move(reader))
{
}

SqliteAccountStore::~SqliteAccountStore() = default;

AccountStore::Lookup SqliteAccountStore::lookup(const std::string &nickKey, std::string &error)
{
    const std::lock_guard lock(m_readMutex);
    sqlite3_stmt *statement = m_reader->statement;
    int rc = bindText(statement, 1, nickKey);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        error = describe(m_reader->db, "cannot look up a nick");
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (rc == SQLITE_ROW)
        return Lookup::Taken;
    if (rc == SQLITE_DONE)
        return Lookup::Free;
    return meansUnavailable(rc) ? Lookup::Unavailable : Lookup::Failed;
}

bool SqliteAccountStore::canAdd(std::string &error)
{
    // A write that changes nothing, as at start: it needs the lock and room
    // on the disk, as a sign-up does.
    static const std::string write =
        "BEGIN IMMEDIATE; PRAGMA user_version = " + std::to_string(kSchemaSteps.size()) +
        "; COMMIT";
    const std::lock_guard lock(m_writeMutex);
    if (sqlite3_exec(m_writer->db, write.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    error = describe(m_writer->db, "cannot write to the accounts database");
    if (!sqlite3_get_autocommit(m_writer->db))
        sqlite3_exec(m_writer->db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

AccountStore::Lookup SqliteAccountStore::findAccount(const std::string &nickKey,
                                                     StoredAccount &found, std::string &error)
{
    const std::lock_guard lock(m_readMutex);
    sqlite3_stmt *statement = m_reader->find;
    int rc = bindText(statement, 1, nickKey);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
        const auto text = [statement](int column) {
            const auto *bytes =
                reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
            return bytes ? std::string(bytes, static_cast<std::size_t>(
                                                  sqlite3_column_bytes(statement, column)))
                         : std::string();
        };
        Account &account = found.account;
        account = {text(0), nickKey, text(1), text(2), text(3), text(4), text(5)};
        found.passwordHash = text(6);
        found.age.reset();
        if (sqlite3_column_type(statement, 7) == SQLITE_INTEGER)
            found.age = std::chrono::seconds(sqlite3_column_int64(statement, 7));
    } else if (rc != SQLITE_DONE) {
        error = describe(m_reader->db, "cannot look up a nick");
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (rc == SQLITE_ROW)
        return Lookup::Taken;
    if (rc == SQLITE_DONE)
        return Lookup::Free;
    return meansUnavailable(rc) ? Lookup::Unavailable : Lookup::Failed;
}

AccountStore::AddResult SqliteAccountStore::add(const Account &account,
                                                const std::string &passwordHash, std::string &error)
{
    const std::array<const std::string *, 8> texts = {
        &account.nick,  &account.nickKey, &account.names,   &account.email,
        &account.phone, &account.city,    &account.country, &passwordHash};

    const std::lock_guard lock(m_writeMutex);
    sqlite3_stmt *insert = m_writer->statement;
    int rc = SQLITE_OK;
    for (std::size_t i = 0; rc == SQLITE_OK && i < texts.size(); ++i)
        rc = bindText(insert, static_cast<int>(i) + 1, *texts[i]);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(insert);
    if (rc != SQLITE_DONE && rc != SQLITE_CONSTRAINT_UNIQUE)
        error = describe(m_writer->db, "cannot add an account");
    sqlite3_reset(insert);
    // The hash should not linger in the statement until the next sign-up.
    sqlite3_clear_bindings(insert);

    if (rc == SQLITE_DONE)
        return AddResult::Added;
    if (rc == SQLITE_CONSTRAINT_UNIQUE)
        return AddResult::Taken;
    return meansUnavailable(rc) ? AddResult::Unavailable : AddResult::Failed;
}

} // namespace parlonda

namespace parlonda {

bool SqliteAccountStore::inspect(const std::string &path, DatabaseInspection &found,
                                 std::string &error)
{
    found = {};
    found.shown = path;
    found.newest = kSchemaSteps.size();
    // What createPrivately() and the writes after it need, asked of the
    // file system rather than tried.
    const std::string folder = folderOf(path);
    const bool exists = ::access(path.c_str(), F_OK) == 0;
    if ((exists ? ::access(path.c_str(), R_OK | W_OK) : ::access(folder.c_str(), W_OK | X_OK)) !=
        0) {
        error = "cannot open " + path + " for writing: " + std::strerror(errno);
        return false;
    }
    if (!exists) {
        found.action = DatabaseInspection::Action::Create;
        found.createsFile = true;
        return true;
    }
    if (readOnlyFormat(path) || ::access(folder.c_str(), W_OK | X_OK) != 0) {
        error = "cannot write to " + path + ": the database or its folder is read-only";
        return false;
    }
    // Without a -wal beside it, no process has the file open in WAL mode,
    // and it is read as it lies on disk (immutable), which leaves no -shm
    // behind; otherwise as a reader among the service's connections.
    const bool inUse = ::access((path + "-wal").c_str(), F_OK) == 0;
    const std::string uri = "file:" + uriPath(path) + (inUse ? "?mode=ro" : "?mode=ro&immutable=1");
    sqlite3 *db = nullptr;
    const int opened =
        sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3 *)> owned(db, &sqlite3_close);
    if (opened != SQLITE_OK) {
        error = describe(db, "cannot open " + path);
        return false;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    found.version = userVersion(db);
    if (found.version < 0) {
        error = describe(db, "cannot read the schema version of " + path);
        return false;
    }
    if (found.version > static_cast<long long>(kSchemaSteps.size())) {
        error = newerSchemaRefusal(path, found.version, kSchemaSteps.size());
        return false;
    }
    if (found.version == static_cast<long long>(kSchemaSteps.size()))
        return true;
    found.action = DatabaseInspection::Action::Upgrade;
    if (found.version == 0) {
        // Made before the schema had a version, or an empty file.
        sqlite3_stmt *statement = nullptr;
        const bool table =
            sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE name = 'accounts'", -1,
                               &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW;
        sqlite3_finalize(statement);
        if (!table)
            found.action = DatabaseInspection::Action::Create;
    }
    return true;
}

} // namespace parlonda
