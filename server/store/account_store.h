#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
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
    // Locked by the operator: never a repeat of its sign-up.
    bool locked = false;
};

// An account as the operator sees it (`parlonda-regnick accounts`): every
// stored field but the row's id. Times are UTC, as
// "2026-12-07T16:41:52.123Z" (whole seconds for rows SQLite stored before
// schema version 2).
struct AccountRecord
{
    Account account;
    std::string passwordHash; // only when asked for: for copying
    std::string createdAt;
    bool locked = false;
    std::string lockedReason; // set when locked
    std::string lockedAt;     // set when locked
};

// What is left of a deleted account: its folded nick, kept from sign-ups
// for the nick cool-down, and when it was deleted. No personal data.
struct Tombstone
{
    std::string nickKey;
    std::string deletedAt;
};

// Which accounts a listing walks.
struct AccountFilter
{
    std::string since;          // created at or after this UTC time; empty: any
    std::optional<bool> locked; // empty: either
};

// What copying accounts into a database did: every account and tombstone
// is in it, added or already there, or nothing changed.
struct ImportOutcome
{
    std::size_t added = 0;
    std::size_t alreadyThere = 0;
    // The first nick (folded) the target holds with another account or a
    // tombstone where the source has an account, or the other way round.
    std::string conflict;
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
    // The outcome of an operator's change; NoSuchAccount when no account
    // has the folded nick (also when a tombstone has it).
    enum class Change { Done, NoSuchAccount, Failed, Unavailable };
    // Sign-ups may not take the nick of an account deleted less than this
    // long ago; 0: at once.
    static constexpr std::chrono::seconds kDefaultNickCooldown{90 * 86400};

    // `where` is a PostgreSQL connection URI (postgresql://... or
    // postgres://...) or else the path of an SQLite file. Creates the table
    // when missing and checks that accounts can be added, so that a database
    // the service cannot work with is found now rather than at the first
    // sign-up. Null with a reason in `error` when that fails. Without
    // `proveWritable` (the operator's command), an SQLite file whose schema
    // is current is not written to at opening: each write costs a sync.
    static std::unique_ptr<AccountStore> open(const std::string &where, std::string &error,
                                              bool proveWritable = true);

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
    // Taken also while a tombstone younger than the nick cool-down holds
    // the nick; an older one goes in the same transaction as the insert.
    virtual AddResult add(const Account &account, const std::string &passwordHash,
                          std::string &error) = 0;

    // Set before the store is shared between threads.
    void setNickCooldown(std::chrono::seconds cooldown) { m_nickCooldown = cooldown; }
    std::chrono::seconds nickCooldown() const { return m_nickCooldown; }

    // The operator's side, for `parlonda-regnick accounts`: each change is
    // one transaction. Not for the service's threads.
    virtual Change lock(const std::string &nickKey, const std::string &reason,
                        std::string &error) = 0;
    virtual Change unlock(const std::string &nickKey, std::string &error) = 0;
    virtual Change setPasswordHash(const std::string &nickKey, const std::string &passwordHash,
                                   std::string &error) = 0;
    // Removes the account and leaves its tombstone, so that the personal
    // data cannot be read back from the database's files where the
    // database allows (see each store). Tombstones past the cool-down go
    // in the same transaction.
    virtual Change erase(const std::string &nickKey, std::string &error) = 0;
    virtual Lookup record(const std::string &nickKey, AccountRecord &found, std::string &error) = 0;
    // Calls `each` for every account the filter passes, in the order they
    // were added, one row in memory at a time; stops early when `each`
    // returns false. Done, Failed or Unavailable.
    virtual Change forEach(const AccountFilter &filter, bool withHash,
                           const std::function<bool(const AccountRecord &)> &each,
                           std::string &error) = 0;
    virtual Change forEachTombstone(const std::function<bool(const Tombstone &)> &each,
                                    std::string &error) = 0;
    // Adds what `source` gives (accounts, then tombstones) in one
    // transaction: an account already here with the same folded nick,
    // created_at (to the millisecond) and hash, or the same tombstone, is
    // skipped; any other holder of one of its nicks changes nothing.
    virtual Change import(AccountStore &source, ImportOutcome &outcome, std::string &error) = 0;
    // A consistent copy of the database into a new file, while sign-ups go
    // on. SQLite only: Failed with a reason on PostgreSQL.
    virtual Change backup(const std::string &path, std::string &error) = 0;

protected:
    AccountStore() = default;

private:
    std::atomic<std::chrono::seconds> m_nickCooldown{kDefaultNickCooldown};
};

} // namespace parlonda
