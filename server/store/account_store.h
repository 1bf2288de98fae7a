#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace parlonda {

// One account as stored, UTF-8 throughout. The password is not here: only
// its hash is stored, and it is given beside the account.
struct Account
{
    std::string nick;
    // The nick case-folded: "Ana" and "ana" are one account, also for
    // accented letters ("Ñandú", "ñandú"), which SQLite's NOCASE would miss.
    std::string nickKey;
    std::string names;
    std::string email;
    std::string phone; // the only field that may be empty
    std::string city;
    std::string country;
};

// An account found by its folded nick, with what tells a repeat of its own
// sign-up apart from someone else's.
struct StoredAccount
{
    Account account;
    std::string passwordHash;
    // How long ago it was created (created_at), by the database's own clock,
    // which wrote created_at. Empty when created_at cannot be read.
    std::optional<std::chrono::seconds> age;
};

// Where the accounts live. The database, not the caller, decides whether a
// nick is free: the folded nick is unique, so of two sign-ups that race for
// one nick exactly one is added, also when they come through different
// instances of the service sharing one database.
class AccountStore
{
public:
    // Unavailable: the database cannot be reached now, or cannot take
    // accounts now (a lost connection, a server restarting or not answering
    // in time, a lock held elsewhere, a full disk, an I/O error); the client
    // may try again later. Failed: anything else that went wrong.
    enum class AddResult { Added, Taken, Failed, Unavailable };
    enum class Lookup { Free, Taken, Failed, Unavailable };

    // `where` is a PostgreSQL connection URI (postgresql://... or
    // postgres://...) or else the path of an SQLite file. Creates the table
    // when missing and checks that accounts can be added, so that a database
    // the service cannot work with is found now rather than at the first
    // sign-up. Null with a reason in `error` when that fails.
    static std::unique_ptr<AccountStore> open(const std::string &where, std::string &error);

    static bool isPostgresUri(std::string_view where);

    virtual ~AccountStore() = default;
    AccountStore(const AccountStore &) = delete;
    AccountStore &operator=(const AccountStore &) = delete;

    // Whether an account has this folded nick. Cheap and bounded in time, so
    // that the service answers a taken nick without spending a password hash
    // on it. Safe from any thread.
    virtual Lookup lookup(const std::string &nickKey, std::string &error) = 0;

    // The account with this folded nick, in `found` when Taken. Bounded in
    // time like lookup(). Safe from any thread.
    virtual Lookup findAccount(const std::string &nickKey, StoredAccount &found,
                               std::string &error) = 0;

    // Whether an account could be added now, asked without adding one and
    // bounded in time like lookup(): for the health check, and to learn
    // when a database found out of reach is back. `error` says why not.
    virtual bool canAdd(std::string &error) = 0;

    // Safe from any thread, also from several at once. `error` is set for
    // Failed and Unavailable.
    virtual AddResult add(const Account &account, const std::string &passwordHash,
                          std::string &error) = 0;

protected:
    AccountStore() = default;
};

} // namespace parlonda
