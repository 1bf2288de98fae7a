#include "server/account_store.h"

#include <array>
#include <cstddef>
#include <sqlite3.h>

namespace parlonda {
namespace {

// The password never reaches this file: only its Argon2id string does.
constexpr const char *kSchema = R"sql(
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
)sql";

constexpr const char *kInsert =
    "INSERT INTO accounts (nick, nick_key, names, email, phone, city, country, password_hash) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";

// Another process (a backup, a curious sqlite3 shell) may hold the file for
// a moment; wait for it rather than fail a sign-up.
constexpr int kBusyTimeoutMs = 5000;

std::string describe(sqlite3 *db, const std::string &what)
{
    return what + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

int bindText(sqlite3_stmt *statement, int index, const std::string &text)
{
    return sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT);
}

} // namespace

std::unique_ptr<AccountStore> AccountStore::open(const std::string &path, std::string &error)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        error = describe(db, "cannot open " + path);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);

    sqlite3_stmt *insert = nullptr;
    if (sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, kInsert, -1, &insert, nullptr) != SQLITE_OK) {
        error = describe(db, "cannot set up the accounts table in " + path);
        sqlite3_close(db);
        return nullptr;
    }
    return std::unique_ptr<AccountStore>(new AccountStore(db, insert));
}

AccountStore::AccountStore(sqlite3 *db, sqlite3_stmt *insert) : m_db(db), m_insert(insert) {}

AccountStore::~AccountStore()
{
    sqlite3_finalize(m_insert);
    sqlite3_close(m_db);
}

AccountStore::AddResult AccountStore::add(const Registration &account,
                                          const std::string &passwordHash, std::string &error)
{
    const std::array<const std::string *, 8> texts = {
        &account.nick,  &account.nickKey, &account.names,   &account.email,
        &account.phone, &account.city,    &account.country, &passwordHash};

    const std::lock_guard lock(m_mutex);
    int rc = SQLITE_OK;
    for (std::size_t i = 0; rc == SQLITE_OK && i < texts.size(); ++i)
        rc = bindText(m_insert, static_cast<int>(i) + 1, *texts[i]);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(m_insert);
    if (rc != SQLITE_DONE && rc != SQLITE_CONSTRAINT_UNIQUE)
        error = describe(m_db, "cannot add an account");
    sqlite3_reset(m_insert);
    // The hash should not linger in the statement until the next sign-up.
    sqlite3_clear_bindings(m_insert);

    if (rc == SQLITE_DONE)
        return AddResult::Added;
    return rc == SQLITE_CONSTRAINT_UNIQUE ? AddResult::Taken : AddResult::Failed;
}

} // namespace parlonda
