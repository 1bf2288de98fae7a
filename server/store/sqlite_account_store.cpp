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
constexpr std::array<const char *, 2> kSchemaSteps = {
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
    // The operator's lock and tombstones; every required text non-empty
    // (SQLite adds a CHECK only by rebuilding the table: ids and created_at
    // are copied as they are); created_at to the millisecond from now on.
    R"sql(
CREATE TABLE accounts_v2 (
    id            INTEGER PRIMARY KEY,
    nick          TEXT NOT NULL CHECK (nick <> ''),
    nick_key      TEXT NOT NULL UNIQUE CHECK (nick_key <> ''),
    names         TEXT NOT NULL CHECK (names <> ''),
    email         TEXT NOT NULL CHECK (email <> ''),
    phone         TEXT NOT NULL,
    city          TEXT NOT NULL CHECK (city <> ''),
    country       TEXT NOT NULL CHECK (country <> ''),
    password_hash TEXT NOT NULL CHECK (password_hash <> ''),
    created_at    TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')),
    status        TEXT NOT NULL DEFAULT 'active' CHECK (status IN ('active', 'locked')),
    locked_reason TEXT CHECK (locked_reason <> ''),
    locked_at     TEXT,
    CHECK ((status = 'locked') = (locked_reason IS NOT NULL AND locked_at IS NOT NULL))
);
INSERT INTO accounts_v2 (id, nick, nick_key, names, email, phone, city, country, password_hash,
                         created_at)
    SELECT id, nick, nick_key, names, email, phone, city, country, password_hash, created_at
    FROM accounts;
DROP TABLE accounts;
ALTER TABLE accounts_v2 RENAME TO accounts;
CREATE TABLE tombstones (
    nick_key   TEXT PRIMARY KEY CHECK (nick_key <> ''),
    deleted_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))
) WITHOUT ROWID;
)sql",
};

// A tombstone holds its nick for the cool-down (?9 seconds, ?2 in the
// look-up); an older one is removed by the sign-up that takes the nick, in
// its transaction.
constexpr const char *kFreeNick = "DELETE FROM tombstones WHERE nick_key = ?1 "
                                  "AND julianday(deleted_at) <= julianday('now') - ?2 / 86400.0";
constexpr const char *kInsert =
    "INSERT INTO accounts (nick, nick_key, names, email, phone, city, country, password_hash) "
    "SELECT ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8 WHERE NOT EXISTS (SELECT 1 FROM tombstones "
    "WHERE nick_key = ?2 AND julianday(deleted_at) > julianday('now') - ?9 / 86400.0)";
constexpr const char *kLookup =
    "SELECT 1 FROM accounts WHERE nick_key = ?1 UNION ALL SELECT 1 FROM tombstones "
    "WHERE nick_key = ?1 AND julianday(deleted_at) > julianday('now') - ?2 / 86400.0";
// The age is NULL when created_at is not a time SQLite can read; it reads
// whole seconds ("...52Z", rows before schema version 2) and milliseconds.
constexpr const char *kFind =
    "SELECT nick, names, email, phone, city, country, password_hash, "
    "CAST(strftime('%s', 'now') AS INTEGER) - CAST(strftime('%s', created_at) AS INTEGER), "
    "status <> 'active' FROM accounts WHERE nick_key = ?1";

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
bool upgrade(sqlite3 *db, const std::string &path, std::string &error, bool proveWritable)
{
    // The operator's command writes what it changes, and no more: a file
    // already current is only read, which a writer elsewhere does not hold up.
    if (!proveWritable && userVersion(db) == static_cast<long long>(kSchemaSteps.size()))
        return true;
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
    sqlite3_stmt *find = nullptr;     // the reader's second statement
    sqlite3_stmt *freeNick = nullptr; // the writer's second statement

    ~Connection()
    {
        sqlite3_finalize(freeNick);
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
        // secure_delete: a deleted account's bytes are overwritten, not left
        // in free space, wherever SQLite moves or frees a row.
        if (sqlite3_exec(db,
                         "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; "
                         "PRAGMA secure_delete = ON;",
                         nullptr, nullptr, nullptr) != SQLITE_OK) {
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

std::unique_ptr<AccountStore> SqliteAccountStore::open(const std::string &path, std::string &error,
                                                       bool proveWritable)
{
    if (!createPrivately(path, error))
        return nullptr;
    auto writer = std::make_unique<Connection>();
    if (!writer->open(path, error))
        return nullptr;
    if (!upgrade(writer->db, path, error, proveWritable) ||
        !writer->prepare(kInsert, path, error) ||
        !writer->prepare(kFreeNick, writer->freeNick, path, error))
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
        rc = sqlite3_bind_int64(statement, 2, nickCooldown().count());
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
        found.locked = sqlite3_column_int(statement, 8) != 0;
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

    const sqlite3_int64 cooldown = nickCooldown().count();

    const std::lock_guard lock(m_writeMutex);
    sqlite3 *db = m_writer->db;
    sqlite3_stmt *freeNick = m_writer->freeNick;
    sqlite3_stmt *insert = m_writer->statement;
    int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK && (rc = bindText(freeNick, 1, account.nickKey)) == SQLITE_OK &&
        (rc = sqlite3_bind_int64(freeNick, 2, cooldown)) == SQLITE_OK &&
        (rc = sqlite3_step(freeNick)) == SQLITE_DONE)
        rc = sqlite3_bind_int64(insert, 9, cooldown);
    sqlite3_reset(freeNick);
    for (std::size_t i = 0; rc == SQLITE_OK && i < texts.size(); ++i)
        rc = bindText(insert, static_cast<int>(i) + 1, *texts[i]);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(insert);
    // No row: a tombstone holds the nick.
    const bool added = rc == SQLITE_DONE && sqlite3_changes(db) == 1;
    if (rc == SQLITE_DONE)
        rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK
                 ? SQLITE_DONE
                 : sqlite3_extended_errcode(db);
    if (rc != SQLITE_DONE && rc != SQLITE_CONSTRAINT_UNIQUE)
        error = describe(db, "cannot add an account");
    sqlite3_reset(insert);
    // The hash should not linger in the statement until the next sign-up.
    sqlite3_clear_bindings(insert);
    if (!sqlite3_get_autocommit(db))
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);

    if (rc == SQLITE_DONE)
        return added ? AddResult::Added : AddResult::Taken;
    if (rc == SQLITE_CONSTRAINT_UNIQUE)
        return AddResult::Taken;
    return meansUnavailable(rc) ? AddResult::Unavailable : AddResult::Failed;
}

// The operator's side. Each change is one statement, or one transaction.

namespace {

// Every field of an account as the operator sees it, the hash last.
constexpr const char *kRecordColumns =
    "nick, nick_key, names, email, phone, city, country, created_at, status = 'locked', "
    "coalesce(locked_reason, ''), coalesce(locked_at, ''), password_hash";

struct Statement
{
    sqlite3_stmt *raw = nullptr;
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &raw, nullptr); }
    ~Statement() { sqlite3_finalize(raw); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    // Binds ?1, ?2... to the texts; false when the statement did not prepare.
    bool bind(std::initializer_list<const std::string *> texts)
    {
        int index = 0;
        for (const std::string *text : texts) {
            ++index;
            if (!raw ||
                (text ? bindText(raw, index, *text) : sqlite3_bind_null(raw, index)) != SQLITE_OK)
                return false;
        }
        return raw != nullptr;
    }
    std::string text(int column) const
    {
        std::string out;
        text(column, out);
        return out;
    }
    // Into `out`, whose room is used again row after row.
    void text(int column, std::string &out) const
    {
        const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(raw, column));
        out.assign(bytes ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(raw, column)));
    }
    void record(AccountRecord &r, bool withHash) const
    {
        Account &a = r.account;
        for (auto [column, field] : {std::pair{0, &a.nick},
                                     {1, &a.nickKey},
                                     {2, &a.names},
                                     {3, &a.email},
                                     {4, &a.phone},
                                     {5, &a.city},
                                     {6, &a.country},
                                     {7, &r.createdAt},
                                     {9, &r.lockedReason},
                                     {10, &r.lockedAt}})
            text(column, *field);
        r.locked = sqlite3_column_int(raw, 8) != 0;
        if (withHash)
            text(11, r.passwordHash);
    }
};

AccountStore::Change failure(sqlite3 *db, int rc, const std::string &what, std::string &error)
{
    error = describe(db, what);
    return meansUnavailable(rc) ? AccountStore::Change::Unavailable : AccountStore::Change::Failed;
}

// One UPDATE of the account with folded nick ?1.
AccountStore::Change updateAccount(sqlite3 *db, const char *sql,
                                   std::initializer_list<const std::string *> texts,
                                   std::string &error)
{
    Statement update(db, sql);
    const int rc = update.bind(texts) ? sqlite3_step(update.raw) : sqlite3_errcode(db);
    if (rc != SQLITE_DONE)
        return failure(db, rc, "cannot change the account", error);
    return sqlite3_changes(db) == 0 ? AccountStore::Change::NoSuchAccount
                                    : AccountStore::Change::Done;
}

int execute(sqlite3 *db, const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK
               ? SQLITE_OK
               : sqlite3_extended_errcode(db);
}

} // namespace

AccountStore::Change SqliteAccountStore::lock(const std::string &nickKey, const std::string &reason,
                                              std::string &error)
{
    const std::lock_guard lock(m_writeMutex);
    return updateAccount(m_writer->db,
                         "UPDATE accounts SET status = 'locked', locked_reason = ?2, "
                         "locked_at = strftime('%Y-%m-%dT%H:%M:%fZ', 'now') WHERE nick_key = ?1",
                         {&nickKey, &reason}, error);
}

AccountStore::Change SqliteAccountStore::unlock(const std::string &nickKey, std::string &error)
{
    const std::lock_guard lock(m_writeMutex);
    return updateAccount(m_writer->db,
                         "UPDATE accounts SET status = 'active', locked_reason = NULL, "
                         "locked_at = NULL WHERE nick_key = ?1",
                         {&nickKey}, error);
}

AccountStore::Change SqliteAccountStore::setPasswordHash(const std::string &nickKey,
                                                         const std::string &passwordHash,
                                                         std::string &error)
{
    const std::lock_guard lock(m_writeMutex);
    return updateAccount(m_writer->db, "UPDATE accounts SET password_hash = ?2 WHERE nick_key = ?1",
                         {&nickKey, &passwordHash}, error);
}

AccountStore::Change SqliteAccountStore::erase(const std::string &nickKey, std::string &error)
{
    const std::lock_guard lock(m_writeMutex);
    sqlite3 *db = m_writer->db;
    int rc = execute(db, "BEGIN IMMEDIATE");
    bool found = false;
    if (rc == SQLITE_OK) {
        Statement remove(db, "DELETE FROM accounts WHERE nick_key = ?1");
        rc = remove.bind({&nickKey}) ? sqlite3_step(remove.raw) : sqlite3_errcode(db);
        found = rc == SQLITE_DONE && sqlite3_changes(db) == 1;
    }
    if (found) {
        Statement bury(db, "INSERT INTO tombstones (nick_key) VALUES (?1) ON CONFLICT (nick_key) "
                           "DO UPDATE SET deleted_at = excluded.deleted_at");
        rc = bury.bind({&nickKey}) ? sqlite3_step(bury.raw) : sqlite3_errcode(db);
        // Tombstones past the cool-down that no sign-up has taken: the nicks
        // of people long gone are not kept for ever.
        Statement expired(db, "DELETE FROM tombstones WHERE julianday(deleted_at) <= "
                              "julianday('now') - ?1 / 86400.0");
        if (rc == SQLITE_DONE)
            rc = expired.raw &&
                         sqlite3_bind_int64(expired.raw, 1, nickCooldown().count()) == SQLITE_OK
                     ? sqlite3_step(expired.raw)
                     : sqlite3_errcode(db);
        if (rc == SQLITE_DONE)
            rc = execute(db, "COMMIT") == SQLITE_OK ? SQLITE_DONE : sqlite3_extended_errcode(db);
    }
    if (rc != SQLITE_DONE && rc != SQLITE_OK)
        failure(db, rc, "cannot delete the account", error);
    if (!sqlite3_get_autocommit(db))
        execute(db, "ROLLBACK");
    if (rc != SQLITE_DONE)
        return meansUnavailable(rc) ? Change::Unavailable : Change::Failed;
    if (!found)
        return Change::NoSuchAccount;

    // secure_delete zeroed the row where it was; the pages that held it
    // before are in the -wal file until a checkpoint copies them over and
    // truncates it. It waits (the busy timeout) for readers to move on.
    for (int attempt = 0; attempt < 10; ++attempt) {
        Statement checkpoint(db, "PRAGMA wal_checkpoint(TRUNCATE)");
        if (checkpoint.raw && sqlite3_step(checkpoint.raw) == SQLITE_ROW &&
            sqlite3_column_int(checkpoint.raw, 0) == 0)
            return Change::Done;
    }
    error = "the account is deleted, but the pages that held it are still in the database's "
            "-wal file: a reader kept the checkpoint from finishing; it finishes at the next "
            "checkpoint";
    return Change::Done;
}

AccountStore::Lookup SqliteAccountStore::record(const std::string &nickKey, AccountRecord &found,
                                                std::string &error)
{
    const std::lock_guard lock(m_readMutex);
    const std::string sql =
        std::string("SELECT ") + kRecordColumns + " FROM accounts WHERE nick_key = ?1";
    Statement select(m_reader->db, sql.c_str());
    const int rc = select.bind({&nickKey}) ? sqlite3_step(select.raw) : SQLITE_ERROR;
    if (rc == SQLITE_ROW) {
        select.record(found, false);
        return Lookup::Taken;
    }
    if (rc == SQLITE_DONE)
        return Lookup::Free;
    error = describe(m_reader->db, "cannot read the account");
    return meansUnavailable(rc) ? Lookup::Unavailable : Lookup::Failed;
}

AccountStore::Change
SqliteAccountStore::forEach(const AccountFilter &filter, bool withHash,
                            const std::function<bool(const AccountRecord &)> &each,
                            std::string &error)
{
    const std::lock_guard lock(m_readMutex);
    const std::string sql = std::string("SELECT ") + kRecordColumns +
                            " FROM accounts WHERE (?1 IS NULL OR julianday(created_at) >= "
                            "julianday(?1)) AND (?2 IS NULL OR status = ?2) ORDER BY id";
    const std::string status = filter.locked && *filter.locked ? "locked" : "active";
    Statement select(m_reader->db, sql.c_str());
    int rc = select.bind({filter.since.empty() ? nullptr : &filter.since,
                          filter.locked ? &status : nullptr})
                 ? SQLITE_ROW
                 : SQLITE_ERROR;
    AccountRecord record;
    while (rc == SQLITE_ROW && (rc = sqlite3_step(select.raw)) == SQLITE_ROW) {
        select.record(record, withHash);
        if (!each(record))
            return Change::Done;
    }
    return rc == SQLITE_DONE ? Change::Done
                             : failure(m_reader->db, rc, "cannot read the accounts", error);
}

AccountStore::Change
SqliteAccountStore::forEachTombstone(const std::function<bool(const Tombstone &)> &each,
                                     std::string &error)
{
    const std::lock_guard lock(m_readMutex);
    Statement select(m_reader->db, "SELECT nick_key, deleted_at FROM tombstones ORDER BY nick_key");
    int rc = select.raw ? SQLITE_ROW : SQLITE_ERROR;
    while (rc == SQLITE_ROW && (rc = sqlite3_step(select.raw)) == SQLITE_ROW) {
        if (!each({select.text(0), select.text(1)}))
            return Change::Done;
    }
    return rc == SQLITE_DONE ? Change::Done
                             : failure(m_reader->db, rc, "cannot read the tombstones", error);
}

AccountStore::Change SqliteAccountStore::import(AccountStore &source, ImportOutcome &outcome,
                                                std::string &error)
{
    // Staged in temporary tables, then compared and added by SQL, all in
    // one transaction.
    static constexpr const char *kStage = R"sql(
BEGIN IMMEDIATE;
CREATE TEMP TABLE incoming (
    nick TEXT, nick_key TEXT, names TEXT, email TEXT, phone TEXT, city TEXT, country TEXT,
    created_at TEXT, status TEXT, locked_reason TEXT, locked_at TEXT, password_hash TEXT);
CREATE TEMP TABLE incoming_tombstones (nick_key TEXT, deleted_at TEXT);
)sql";
    static constexpr const char *kConflict = R"sql(
SELECT i.nick_key FROM incoming i JOIN main.accounts a USING (nick_key)
    WHERE strftime('%Y-%m-%dT%H:%M:%fZ', a.created_at) <> strftime('%Y-%m-%dT%H:%M:%fZ', i.created_at)
       OR a.password_hash <> i.password_hash
UNION ALL SELECT nick_key FROM incoming JOIN main.tombstones USING (nick_key)
UNION ALL SELECT nick_key FROM incoming_tombstones JOIN main.accounts USING (nick_key)
LIMIT 1
)sql";
    static constexpr const char *kAlreadyThere = R"sql(
SELECT (SELECT count(*) FROM incoming JOIN main.accounts USING (nick_key))
     + (SELECT count(*) FROM incoming_tombstones JOIN main.tombstones USING (nick_key))
)sql";
    static constexpr const char *kAdd = R"sql(
INSERT INTO main.accounts (nick, nick_key, names, email, phone, city, country, created_at,
                           status, locked_reason, locked_at, password_hash)
    SELECT nick, nick_key, names, email, phone, city, country, created_at, status,
           locked_reason, locked_at, password_hash
    FROM incoming WHERE nick_key NOT IN (SELECT nick_key FROM main.accounts);
INSERT INTO main.tombstones (nick_key, deleted_at)
    SELECT nick_key, deleted_at FROM incoming_tombstones
    WHERE nick_key NOT IN (SELECT nick_key FROM main.tombstones);
)sql";

    const std::lock_guard lock(m_writeMutex);
    sqlite3 *db = m_writer->db;
    const auto cleanUp = [db] {
        if (!sqlite3_get_autocommit(db))
            execute(db, "ROLLBACK");
        execute(db, "DROP TABLE IF EXISTS temp.incoming; "
                    "DROP TABLE IF EXISTS temp.incoming_tombstones");
    };
    int rc = execute(db, kStage);
    if (rc != SQLITE_OK) {
        cleanUp();
        return failure(db, rc, "cannot copy into the database", error);
    }
    rc = SQLITE_DONE;
    Change read = Change::Done;
    {
        Statement add(db, "INSERT INTO incoming VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, "
                          "nullif(?10, ''), nullif(?11, ''), ?12)");
        const std::string active = "active", locked = "locked";
        read = source.forEach(
            {}, true,
            [&](const AccountRecord &r) {
                const Account &a = r.account;
                rc = add.bind({&a.nick, &a.nickKey, &a.names, &a.email, &a.phone, &a.city,
                               &a.country, &r.createdAt, r.locked ? &locked : &active,
                               &r.lockedReason, &r.lockedAt, &r.passwordHash})
                         ? sqlite3_step(add.raw)
                         : SQLITE_ERROR;
                sqlite3_reset(add.raw);
                return rc == SQLITE_DONE;
            },
            error);
        Statement bury(db, "INSERT INTO incoming_tombstones VALUES (?1, ?2)");
        if (read == Change::Done && rc == SQLITE_DONE)
            read = source.forEachTombstone(
                [&](const Tombstone &t) {
                    rc = bury.bind({&t.nickKey, &t.deletedAt}) ? sqlite3_step(bury.raw)
                                                               : SQLITE_ERROR;
                    sqlite3_reset(bury.raw);
                    return rc == SQLITE_DONE;
                },
                error);
    }
    if (read != Change::Done) {
        cleanUp();
        return read;
    }
    if (rc != SQLITE_DONE && rc != SQLITE_OK) {
        cleanUp();
        return failure(db, rc, "cannot copy into the database", error);
    }
    {
        Statement conflict(db, kConflict);
        rc = conflict.raw ? sqlite3_step(conflict.raw) : SQLITE_ERROR;
        if (rc == SQLITE_ROW)
            outcome.conflict = conflict.text(0);
    }
    if (rc == SQLITE_DONE) {
        Statement already(db, kAlreadyThere);
        rc = already.raw ? sqlite3_step(already.raw) : SQLITE_ERROR;
        if (rc == SQLITE_ROW)
            outcome.alreadyThere = static_cast<std::size_t>(sqlite3_column_int64(already.raw, 0));
    }
    if (rc == SQLITE_ROW && outcome.conflict.empty()) {
        const sqlite3_int64 before = sqlite3_total_changes64(db);
        rc = execute(db, kAdd);
        outcome.added = static_cast<std::size_t>(sqlite3_total_changes64(db) - before);
        if (rc == SQLITE_OK)
            rc = execute(db, "COMMIT");
    }
    if (rc != SQLITE_OK && rc != SQLITE_ROW) {
        outcome.added = 0;
        const Change failed = failure(db, rc, "cannot copy into the database", error);
        cleanUp();
        return failed;
    }
    cleanUp();
    return Change::Done;
}

AccountStore::Change SqliteAccountStore::backup(const std::string &path, std::string &error)
{
    // Refuses a file that is there. The pages are copied in one step, so in
    // one read transaction: sign-ups go on (WAL), and the copy is of one
    // moment. With secure_delete on, free pages hold no deleted account.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return Change::Failed;
    }
    ::close(fd);
    const auto failed = [&](sqlite3 *db, int rc, const std::string &what) {
        const Change change = failure(db, rc, what, error);
        ::unlink(path.c_str());
        return change;
    };
    Connection copy;
    if (sqlite3_open_v2(path.c_str(), &copy.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        return failed(copy.db, SQLITE_ERROR, "cannot open the copy " + path);
    {
        const std::lock_guard lock(m_readMutex);
        sqlite3_backup *pages = sqlite3_backup_init(copy.db, "main", m_reader->db, "main");
        const int rc = pages ? sqlite3_backup_step(pages, -1) : sqlite3_errcode(copy.db);
        sqlite3_backup_finish(pages);
        if (rc != SQLITE_DONE)
            return failed(m_reader->db, rc, "cannot copy the database to " + path);
    }
    // A file of its own: no -wal beside it once closed.
    Statement journal(copy.db, "PRAGMA journal_mode = DELETE");
    if (!journal.raw || sqlite3_step(journal.raw) != SQLITE_ROW)
        return failed(copy.db, SQLITE_ERROR, "cannot check the copy " + path);
    Statement check(copy.db, "PRAGMA integrity_check");
    if (!check.raw || sqlite3_step(check.raw) != SQLITE_ROW || check.text(0) != "ok") {
        const std::string said = check.raw ? check.text(0) : sqlite3_errmsg(copy.db);
        ::unlink(path.c_str());
        error = "the copy " + path + " fails its integrity check: " + said;
        return Change::Failed;
    }
    return Change::Done;
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
