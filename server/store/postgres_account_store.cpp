#include "server/store/postgres_account_store.h"

#include "server/store/postgres_session.h"
#include "server/store/schema_version.h"

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace parlonda {
namespace {

using namespace std::chrono_literals;

// A look-up or a check waits this long at most, reconnecting included: the
// sign-up waits for it, and the look-ups queued behind it.
constexpr auto kLookupTime = 1s;
// Sign-ups wait on a hash worker; the client has waited for the hash anyway.
constexpr auto kAddTime = 5s;
constexpr auto kOpenTime = 10s;

// The schema, one step per version (see schema_version.h). The version is
// the one row of schema_version, which every role may read: a role that has
// no more than SELECT and INSERT on accounts runs the service once the
// table's owner has brought the schema up to date. Step 1 makes the table
// as the service did before it kept a version (where the table is there
// already, only the version is recorded), checked first rather than with
// CREATE TABLE IF NOT EXISTS, which asks for the right to create in the
// schema even when the table is there. The password never reaches the
// table: only its Argon2id string does.
constexpr std::array<const char *, 2> kSchemaSteps = {
    R"sql(
DO $$ BEGIN
IF to_regclass('accounts') IS NULL THEN
    CREATE TABLE accounts (
        id            bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
        nick          text NOT NULL,
        nick_key      text NOT NULL UNIQUE CHECK (nick_key <> ''),
        names         text NOT NULL,
        email         text NOT NULL,
        phone         text NOT NULL,
        city          text NOT NULL,
        country       text NOT NULL,
        password_hash text NOT NULL,
        created_at    timestamptz NOT NULL DEFAULT now()
    );
END IF;
END $$;
CREATE TABLE schema_version (
    one_row boolean PRIMARY KEY DEFAULT true CHECK (one_row),
    version integer NOT NULL
);
INSERT INTO schema_version (version) VALUES (0);
GRANT SELECT ON schema_version TO PUBLIC;
)sql",
    // The operator's lock and tombstones, and every required text
    // non-empty. Roles that may add accounts may look at and clear the
    // tombstones that sign-ups meet.
    R"sql(
ALTER TABLE accounts
    ADD COLUMN status text NOT NULL DEFAULT 'active' CHECK (status IN ('active', 'locked')),
    ADD COLUMN locked_reason text CHECK (locked_reason <> ''),
    ADD COLUMN locked_at timestamptz,
    ADD CHECK ((status = 'locked') = (locked_reason IS NOT NULL AND locked_at IS NOT NULL)),
    ADD CHECK (nick <> ''),
    ADD CHECK (names <> ''),
    ADD CHECK (email <> ''),
    ADD CHECK (city <> ''),
    ADD CHECK (country <> ''),
    ADD CHECK (password_hash <> '');
CREATE TABLE tombstones (
    nick_key   text PRIMARY KEY CHECK (nick_key <> ''),
    deleted_at timestamptz NOT NULL DEFAULT now()
);
DO $$
DECLARE adder name;
BEGIN
FOR adder IN SELECT DISTINCT grantee FROM information_schema.role_table_grants
             WHERE table_schema = current_schema() AND table_name = 'accounts'
               AND privilege_type = 'INSERT' AND grantee <> current_user LOOP
    EXECUTE format('GRANT SELECT, DELETE ON tombstones TO %I', adder);
END LOOP;
END $$;
)sql",
};

// Two instances starting at once would both find the schema old, and the
// slower CREATE would fail on the catalogue's own unique index; the lock
// (any number the two agree on) puts one after the other. It goes with the
// transaction, which the steps and the new version share.
constexpr const char *kBeginUpgrade = R"sql(
BEGIN;
SELECT pg_advisory_xact_lock(7024311690457715017);
SELECT to_regclass('schema_version') IS NOT NULL;
)sql";
constexpr const char *kSchemaVersion = "SELECT version FROM schema_version";
constexpr const char *kMayChangeSchema = R"sql(
SELECT has_schema_privilege(current_schema(), 'CREATE') AND coalesce(
    (SELECT pg_has_role(relowner, 'USAGE') FROM pg_class WHERE oid = to_regclass('accounts')),
    true)
)sql";
// --check reads what a start would, and can change nothing.
constexpr const char *kBeginInspection = R"sql(
BEGIN READ ONLY;
SELECT to_regclass('schema_version') IS NOT NULL;
)sql";

// A role that may read the table but not add to it would fail every
// sign-up after spending its hash.
constexpr const char *kCanAdd = "SELECT has_table_privilege('accounts', 'INSERT')";

// A lost race is an ordinary outcome here, not an error for the server's
// log: the row count tells it.
// A tombstone holds its nick for the cool-down ($9 seconds, $2 in the
// look-up); an older one is removed by the sign-up that takes the nick, in
// its statement.
constexpr PreparedStatement kInsert = {
    "insert_account",
    "WITH freed AS (DELETE FROM tombstones WHERE nick_key = $2 "
    "AND deleted_at <= now() - $9::bigint * interval '1 second') "
    "INSERT INTO accounts (nick, nick_key, names, email, phone, city, country, password_hash) "
    "SELECT $1::text, $2::text, $3::text, $4::text, $5::text, $6::text, $7::text, $8::text "
    "WHERE NOT EXISTS (SELECT 1 FROM tombstones WHERE nick_key = $2 "
    "AND deleted_at > now() - $9::bigint * interval '1 second') "
    "ON CONFLICT (nick_key) DO NOTHING",
    9};
// Whether the server takes writes, and this role into the table: after a
// fail-over, a server that was the primary may come back as a standby,
// which a URI without target_session_attrs=read-write may reach.
constexpr const char *kCanAddNow =
    "SELECT NOT pg_is_in_recovery(), has_table_privilege('accounts', 'INSERT')";
constexpr PreparedStatement kLookup = {
    "lookup_nick",
    "SELECT 1 FROM accounts WHERE nick_key = $1 UNION ALL SELECT 1 FROM tombstones "
    "WHERE nick_key = $1 AND deleted_at > now() - $2::bigint * interval '1 second'",
    2};
// The age is NULL for a created_at of 'infinity' or '-infinity'.
constexpr PreparedStatement kFind = {
    "find_account",
    "SELECT nick, names, email, phone, city, country, password_hash, "
    "CASE WHEN isfinite(created_at) THEN floor(extract(epoch FROM now() - created_at))::bigint "
    "END, "
    "status <> 'active' FROM accounts WHERE nick_key = $1",
    1};
constexpr std::array<PreparedStatement, 2> kReaderStatements = {kLookup, kFind};

Deadline after(std::chrono::steady_clock::duration time)
{
    return std::chrono::steady_clock::now() + time;
}

// A connection URI cut where libpq cuts it:
// scheme://[user[:password]@]hosts-and-path[?parameter&parameter...].
struct UriParts
{
    std::string_view scheme; // with "://"
    std::optional<std::string_view> user;
    std::string_view password;
    std::string_view location;
    std::vector<std::string_view> parameters;
};

UriParts splitUri(std::string_view uri)
{
    UriParts parts;
    const auto schemeEnd = uri.find("://") + 3;
    parts.scheme = uri.substr(0, schemeEnd);
    std::string_view rest = uri.substr(schemeEnd);
    // libpq takes what comes before an "@" ahead of any "/" as user[:password].
    if (const auto at = rest.find_first_of("@/"); at != rest.npos && rest[at] == '@') {
        const std::string_view userInfo = rest.substr(0, at);
        const auto colon = userInfo.find(':');
        parts.user = userInfo.substr(0, colon);
        if (colon != userInfo.npos)
            parts.password = userInfo.substr(colon + 1);
        rest.remove_prefix(at + 1);
    }
    const auto query = rest.find('?');
    parts.location = rest.substr(0, query);
    std::string_view parameters = query == rest.npos ? std::string_view() : rest.substr(query + 1);
    while (!parameters.empty()) {
        const auto amp = parameters.find('&');
        parts.parameters.push_back(parameters.substr(0, amp));
        parameters = amp == parameters.npos ? std::string_view() : parameters.substr(amp + 1);
    }
    return parts;
}

constexpr std::string_view kPasswordParameter = "password=";

// The password as it is written in the URI, wherever it is, so that it can
// be taken out of libpq's messages too (one that quotes a malformed part of
// the URI would quote it).
std::vector<std::string_view> passwordsIn(std::string_view uri)
{
    const UriParts parts = splitUri(uri);
    std::vector<std::string_view> found;
    if (!parts.password.empty())
        found.push_back(parts.password);
    for (const std::string_view parameter : parts.parameters) {
        if (parameter.starts_with(kPasswordParameter) &&
            parameter.size() > kPasswordParameter.size())
            found.push_back(parameter.substr(kPasswordParameter.size()));
    }
    return found;
}

std::string withoutPasswords(std::string text, std::string_view uri)
{
    for (const std::string_view password : passwordsIn(uri)) {
        for (auto at = text.find(password); at != text.npos; at = text.find(password, at + 3))
            text.replace(at, password.size(), "***");
    }
    return text;
}

} // namespace

std::string uriWithoutPassword(std::string_view uri)
{
    const UriParts parts = splitUri(uri);
    std::string shown(parts.scheme);
    if (parts.user) {
        shown += *parts.user;
        shown += '@';
    }
    shown += parts.location;
    char separator = '?';
    for (const std::string_view parameter : parts.parameters) {
        if (!parameter.starts_with(kPasswordParameter)) {
            shown += separator;
            shown += parameter;
            separator = '&';
        }
    }
    return shown;
}

namespace {

// The schema version, read in the transaction that `begin` opens (and
// whose last statement tells whether schema_version is there); -1 with
// `problem` set when it cannot be read.
long long schemaVersion(PostgresSession &session, const char *begin, Deadline deadline,
                        PostgresProblem &problem)
{
    long long version = -1;
    if (const PostgresResult versioned = session.execute(begin, deadline, problem)) {
        version = 0;
        if (std::strcmp(PQgetvalue(versioned.get(), 0, 0), "t") == 0) {
            const PostgresResult found = session.execute(kSchemaVersion, deadline, problem);
            const bool oneRow = found && PQntuples(found.get()) == 1;
            version = oneRow ? std::atoll(PQgetvalue(found.get(), 0, 0)) : -1;
            if (found && !oneRow)
                problem.text = "schema_version does not hold one row";
        }
    }
    return version;
}

// Brings the database to the newest schema; false with `error` set when it
// cannot, or when a newer release has changed it.
bool upgrade(PostgresSession &session, const std::string &shown, Deadline deadline,
             std::string &error)
{
    PostgresProblem problem;
    const long long version = schemaVersion(session, kBeginUpgrade, deadline, problem);
    if (version < 0) {
        error = "cannot read the schema version of " + shown + ": " + problem.text;
        return false;
    }
    if (version > static_cast<long long>(kSchemaSteps.size())) {
        error = newerSchemaRefusal(shown, version, kSchemaSteps.size());
        return false;
    }
    for (auto step = static_cast<std::size_t>(version); step < kSchemaSteps.size(); ++step) {
        const std::string record =
            "UPDATE schema_version SET version = " + std::to_string(step + 1);
        if (!session.execute(kSchemaSteps[step], deadline, problem) ||
            !session.execute(record.c_str(), deadline, problem)) {
            error = "cannot bring the accounts database " + shown + " to schema version " +
                    std::to_string(step + 1) + ": " + problem.text;
            return false;
        }
    }
    if (!session.execute("COMMIT", deadline, problem)) {
        error = "cannot set up the accounts table in " + shown + ": " + problem.text;
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<AccountStore> PostgresAccountStore::open(const std::string &uri, std::string &error)
{
    const Deadline deadline = after(kOpenTime);
    const std::string shown = uriWithoutPassword(uri);
    PostgresProblem problem;
    std::shared_ptr<PostgresServers> servers = PostgresServers::from(uri);
    std::unique_ptr<PostgresSession> writer = servers->connect(deadline, problem);
    if (!writer) {
        error = "cannot connect to the accounts database " + shown + ": " +
                withoutPasswords(problem.text, uri);
        return nullptr;
    }
    if (!upgrade(*writer, shown, deadline, error))
        return nullptr;
    const PostgresResult canAdd = writer->execute(kCanAdd, deadline, problem);
    if (!canAdd || std::strcmp(PQgetvalue(canAdd.get(), 0, 0), "t") != 0) {
        error = "cannot add accounts in " + shown + ": " +
                (canAdd ? "permission denied for table accounts" : problem.text);
        return nullptr;
    }
    if (!writer->prepare(std::span(&kInsert, 1), deadline, problem)) {
        error = "cannot use the accounts table in " + shown + ": " + problem.text;
        return nullptr;
    }

    std::unique_ptr<PostgresAccountStore> store(new PostgresAccountStore(std::move(servers)));
    store->m_idleWriters.push_back(std::move(writer));
    bool unavailable = false;
    if (!store->ready(store->m_reader, Role::Reader, deadline, error, unavailable)) {
        error = "cannot look up nicks in " + shown + ": " + withoutPasswords(error, uri);
        return nullptr;
    }
    return store;
}

bool PostgresAccountStore::inspect(const std::string &uri, DatabaseInspection &found,
                                   std::string &error)
{
    const Deadline deadline = after(kOpenTime);
    found = {};
    found.shown = uriWithoutPassword(uri);
    found.newest = kSchemaSteps.size();
    PostgresProblem problem;
    const std::unique_ptr<PostgresSession> session =
        PostgresSession::connect(uri, deadline, problem);
    if (!session) {
        error = "cannot connect to the accounts database " + found.shown + ": " +
                withoutPasswords(problem.text, uri);
        return false;
    }
    found.version = schemaVersion(*session, kBeginInspection, deadline, problem);
    if (found.version < 0) {
        error = "cannot read the schema version of " + found.shown + ": " + problem.text;
        return false;
    }
    if (found.version > static_cast<long long>(kSchemaSteps.size())) {
        error = newerSchemaRefusal(found.shown, found.version, kSchemaSteps.size());
        return false;
    }
    if (found.version < static_cast<long long>(kSchemaSteps.size()))
        found.action = DatabaseInspection::Action::Upgrade;
    const PostgresResult table =
        session->execute("SELECT to_regclass('accounts') IS NOT NULL", deadline, problem);
    if (!table) {
        error = "cannot look at the accounts table in " + found.shown + ": " + problem.text;
        return false;
    }
    if (std::strcmp(PQgetvalue(table.get(), 0, 0), "t") != 0)
        found.action = DatabaseInspection::Action::Create;
    // The steps create tables and change the accounts table: the rights of
    // its owner, which a role that may only read and add lacks.
    if (found.action != DatabaseInspection::Action::None) {
        const PostgresResult owner = session->execute(kMayChangeSchema, deadline, problem);
        if (!owner || std::strcmp(PQgetvalue(owner.get(), 0, 0), "t") != 0) {
            error = "cannot bring the accounts database " + found.shown + " to schema version " +
                    std::to_string(found.newest) + ": " +
                    (owner ? "this role does not own the table accounts, or may not create "
                             "tables; run --init-db as its owner"
                           : problem.text);
            return false;
        }
        if (found.action == DatabaseInspection::Action::Create)
            return true;
    }
    // As open() asks once the schema is current.
    const PostgresResult canAdd = session->execute(kCanAdd, deadline, problem);
    if (!canAdd || std::strcmp(PQgetvalue(canAdd.get(), 0, 0), "t") != 0) {
        error = "cannot add accounts in " + found.shown + ": " +
                (canAdd ? "permission denied for table accounts" : problem.text);
        return false;
    }
    return true;
}

PostgresAccountStore::PostgresAccountStore(std::shared_ptr<PostgresServers> servers)
    : m_servers(std::move(servers))
{
}

PostgresAccountStore::~PostgresAccountStore() = default;

bool PostgresAccountStore::ready(std::unique_ptr<PostgresSession> &session, Role role,
                                 Deadline deadline, std::string &error, bool &unavailable)
{
    PostgresProblem problem;
    if (session && session->stillOpen(problem))
        return true;
    // Closed first: the service counts one descriptor per session.
    session.reset();
    session = m_servers->connect(deadline, problem);
    const std::span<const PreparedStatement> statements =
        role == Role::Reader ? std::span<const PreparedStatement>(kReaderStatements)
                             : std::span<const PreparedStatement>(&kInsert, 1);
    if (session && session->prepare(statements, deadline, problem))
        return true;
    session.reset();
    error = "cannot reach the accounts database: " + problem.text;
    unavailable = problem.unavailable;
    return false;
}

PostgresResult PostgresAccountStore::readByNick(const char *statement,
                                                std::span<const char *const> parameters,
                                                Lookup &failure, std::string &error)
{
    const Deadline deadline = after(kLookupTime);
    const std::lock_guard lock(m_readMutex);
    bool unavailable = true;
    PostgresResult result(nullptr, &PQclear);
    if (ready(m_reader, Role::Reader, deadline, error, unavailable)) {
        PostgresProblem problem;
        result = m_reader->run(statement, parameters, deadline, problem);
        if (!m_reader->usable())
            m_reader.reset();
        if (!result) {
            error = "cannot look up a nick: " + problem.text;
            unavailable = problem.unavailable;
        }
    }
    failure = unavailable ? Lookup::Unavailable : Lookup::Failed;
    return result;
}

AccountStore::Lookup PostgresAccountStore::lookup(const std::string &nickKey, std::string &error)
{
    Lookup failure{};
    const std::string cooldown = std::to_string(nickCooldown().count());
    const std::array<const char *, 2> parameters = {nickKey.c_str(), cooldown.c_str()};
    const PostgresResult result = readByNick(kLookup.name, parameters, failure, error);
    if (!result)
        return failure;
    return PQntuples(result.get()) > 0 ? Lookup::Taken : Lookup::Free;
}

bool PostgresAccountStore::canAdd(std::string &error)
{
    const Deadline deadline = after(kLookupTime);
    const std::lock_guard lock(m_readMutex);
    bool unavailable = true;
    if (!ready(m_reader, Role::Reader, deadline, error, unavailable))
        return false;
    PostgresProblem problem;
    const PostgresResult result = m_reader->execute(kCanAddNow, deadline, problem);
    if (!m_reader->usable())
        m_reader.reset();
    if (!result)
        error = "cannot reach the accounts database: " + problem.text;
    else if (std::strcmp(PQgetvalue(result.get(), 0, 0), "t") != 0)
        error = "the accounts database is a read-only standby";
    else if (std::strcmp(PQgetvalue(result.get(), 0, 1), "t") != 0)
        error = "cannot add accounts: permission denied for table accounts";
    else
        return true;
    return false;
}

AccountStore::Lookup PostgresAccountStore::findAccount(const std::string &nickKey,
                                                       StoredAccount &found, std::string &error)
{
    Lookup failure{};
    const std::array<const char *, 1> parameters = {nickKey.c_str()};
    const PostgresResult result = readByNick(kFind.name, parameters, failure, error);
    if (!result)
        return failure;
    if (PQntuples(result.get()) == 0)
        return Lookup::Free;
    const auto text = [&result](int column) {
        return std::string(PQgetvalue(result.get(), 0, column));
    };
    found.account = {text(0), nickKey, text(1), text(2), text(3), text(4), text(5)};
    found.passwordHash = text(6);
    found.age.reset();
    if (!PQgetisnull(result.get(), 0, 7))
        found.age = std::chrono::seconds(std::atoll(PQgetvalue(result.get(), 0, 7)));
    found.locked = std::strcmp(PQgetvalue(result.get(), 0, 8), "t") == 0;
    return Lookup::Taken;
}

AccountStore::AddResult PostgresAccountStore::add(const Account &account,
                                                  const std::string &passwordHash,
                                                  std::string &error)
{
    const Deadline deadline = after(kAddTime);
    std::unique_ptr<PostgresSession> session;
    {
        const std::lock_guard lock(m_writersMutex);
        if (!m_idleWriters.empty()) {
            session = std::move(m_idleWriters.back());
            m_idleWriters.pop_back();
        }
    }
    bool unavailable = true;
    if (!ready(session, Role::Writer, deadline, error, unavailable))
        return unavailable ? AddResult::Unavailable : AddResult::Failed;

    const std::string cooldown = std::to_string(nickCooldown().count());
    const std::array<const char *, 9> parameters = {
        account.nick.c_str(),    account.nickKey.c_str(), account.names.c_str(),
        account.email.c_str(),   account.phone.c_str(),   account.city.c_str(),
        account.country.c_str(), passwordHash.c_str(),    cooldown.c_str()};
    PostgresProblem problem;
    const PostgresResult result = session->run(kInsert.name, parameters, deadline, problem);
    if (session->usable()) {
        const std::lock_guard lock(m_writersMutex);
        m_idleWriters.push_back(std::move(session));
    }
    if (!result) {
        error = "cannot add an account: " + problem.text;
        return problem.unavailable ? AddResult::Unavailable : AddResult::Failed;
    }
    return std::strcmp(PQcmdTuples(result.get()), "1") == 0 ? AddResult::Added : AddResult::Taken;
}

// The operator's side.

namespace {

// Rows to the operator can take a while to come; a statement that changes
// one account cannot.
constexpr auto kChangeTime = 30s;
constexpr std::chrono::milliseconds kQuietTime = 60s;

// UTC to the millisecond, as SQLite keeps it.
#define PARLONDA_UTC(column)                                                                       \
    "to_char(" column " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"
constexpr const char *kRecordColumns =
    "nick, nick_key, names, email, phone, city, country, " PARLONDA_UTC(
        "created_at") ", status = 'locked', coalesce(locked_reason, ''), "
                      "coalesce(" PARLONDA_UTC("locked_at") ", ''), password_hash";

AccountRecord recordOf(const PGresult *row, bool withHash)
{
    const auto text = [row](int column) { return std::string(PQgetvalue(row, 0, column)); };
    AccountRecord r;
    r.account = {text(0), text(1), text(2), text(3), text(4), text(5), text(6)};
    r.createdAt = text(7);
    r.locked = text(8) == "t";
    r.lockedReason = text(9);
    r.lockedAt = text(10);
    if (withHash)
        r.passwordHash = text(11);
    return r;
}

// A text in COPY's text format: backslash, tab, newline and carriage return
// escaped; an empty `text` with `null` is NULL.
void appendCopyField(std::string &to, const std::string &text, bool null, char end)
{
    if (null) {
        to += "\\N";
    } else {
        for (const char c : text) {
            switch (c) {
            case '\\':
                to += "\\\\";
                break;
            case '\t':
                to += "\\t";
                break;
            case '\n':
                to += "\\n";
                break;
            case '\r':
                to += "\\r";
                break;
            default:
                to += c;
            }
        }
    }
    to += end;
}

} // namespace

std::unique_ptr<PostgresSession> PostgresAccountStore::takeSession(std::string &error,
                                                                   bool &unavailable)
{
    std::unique_ptr<PostgresSession> session;
    {
        const std::lock_guard lock(m_writersMutex);
        if (!m_idleWriters.empty()) {
            session = std::move(m_idleWriters.back());
            m_idleWriters.pop_back();
        }
    }
    unavailable = true;
    if (!ready(session, Role::Writer, after(kOpenTime), error, unavailable))
        return nullptr;
    return session;
}

void PostgresAccountStore::giveBack(std::unique_ptr<PostgresSession> session)
{
    if (session && session->usable()) {
        const std::lock_guard lock(m_writersMutex);
        m_idleWriters.push_back(std::move(session));
    }
}

AccountStore::Change PostgresAccountStore::change(const char *sql,
                                                  std::span<const char *const> parameters,
                                                  const char *what, std::string &error)
{
    bool unavailable = true;
    std::unique_ptr<PostgresSession> session = takeSession(error, unavailable);
    if (!session)
        return unavailable ? Change::Unavailable : Change::Failed;
    PostgresProblem problem;
    const PostgresResult result = session->query(sql, parameters, after(kChangeTime), problem);
    giveBack(std::move(session));
    if (!result) {
        error = std::string(what) + ": " + problem.text;
        return problem.unavailable ? Change::Unavailable : Change::Failed;
    }
    return std::strcmp(PQcmdTuples(result.get()), "0") == 0 ? Change::NoSuchAccount : Change::Done;
}

AccountStore::Change PostgresAccountStore::lock(const std::string &nickKey,
                                                const std::string &reason, std::string &error)
{
    const std::array<const char *, 2> parameters = {nickKey.c_str(), reason.c_str()};
    return change("UPDATE accounts SET status = 'locked', locked_reason = $2, locked_at = now() "
                  "WHERE nick_key = $1",
                  parameters, "cannot lock the account", error);
}

AccountStore::Change PostgresAccountStore::unlock(const std::string &nickKey, std::string &error)
{
    const std::array<const char *, 1> parameters = {nickKey.c_str()};
    return change("UPDATE accounts SET status = 'active', locked_reason = NULL, locked_at = NULL "
                  "WHERE nick_key = $1",
                  parameters, "cannot unlock the account", error);
}

AccountStore::Change PostgresAccountStore::setPasswordHash(const std::string &nickKey,
                                                           const std::string &passwordHash,
                                                           std::string &error)
{
    const std::array<const char *, 2> parameters = {nickKey.c_str(), passwordHash.c_str()};
    return change("UPDATE accounts SET password_hash = $2 WHERE nick_key = $1", parameters,
                  "cannot set the password", error);
}

AccountStore::Change PostgresAccountStore::erase(const std::string &nickKey, std::string &error)
{
    bool unavailable = true;
    std::unique_ptr<PostgresSession> session = takeSession(error, unavailable);
    if (!session)
        return unavailable ? Change::Unavailable : Change::Failed;
    // The lock conflicts with every insert (and with itself): a sign-up
    // whose insert waits on the row being deleted would otherwise insert
    // it again once this commits, its check for a tombstone made before.
    const std::array<const char *, 1> parameters = {nickKey.c_str()};
    PostgresProblem problem;
    PostgresResult deleted(nullptr, &PQclear);
    if (session->execute("BEGIN; LOCK TABLE accounts IN SHARE ROW EXCLUSIVE MODE",
                         after(kChangeTime), problem))
        deleted = session->query(
            "WITH gone AS (DELETE FROM accounts WHERE nick_key = $1 RETURNING nick_key) "
            "INSERT INTO tombstones (nick_key) SELECT nick_key FROM gone "
            "ON CONFLICT (nick_key) DO UPDATE SET deleted_at = now()",
            parameters, after(kChangeTime), problem);
    bool found = deleted && std::strcmp(PQcmdTuples(deleted.get()), "1") == 0;
    // Tombstones past the cool-down that no sign-up has taken: the nicks of
    // people long gone are not kept for ever.
    const std::string cooldown = std::to_string(nickCooldown().count());
    const std::array<const char *, 1> expiry = {cooldown.c_str()};
    if (found && !session->query("DELETE FROM tombstones WHERE deleted_at <= now() - "
                                 "$1::bigint * interval '1 second'",
                                 expiry, after(kChangeTime), problem))
        deleted.reset();
    const bool committed =
        deleted && session->execute(found ? "COMMIT" : "ROLLBACK", after(kChangeTime), problem);
    if (!committed) {
        error = "cannot delete the account: " + problem.text;
        PostgresProblem ignored;
        if (session->usable())
            session->execute("ROLLBACK", after(kChangeTime), ignored);
        giveBack(std::move(session));
        return problem.unavailable ? Change::Unavailable : Change::Failed;
    }
    if (!found) {
        giveBack(std::move(session));
        return Change::NoSuchAccount;
    }
    // The row's old versions stay in the table's pages until VACUUM frees
    // them; it takes the table's owner.
    if (!session->execute("VACUUM accounts", after(kChangeTime), problem))
        error = "the account is deleted, but VACUUM of the accounts table failed (" + problem.text +
                "): its old row stays in the table's files until the next VACUUM";
    giveBack(std::move(session));
    return Change::Done;
}

AccountStore::Lookup PostgresAccountStore::record(const std::string &nickKey, AccountRecord &found,
                                                  std::string &error)
{
    bool unavailable = true;
    std::unique_ptr<PostgresSession> session = takeSession(error, unavailable);
    if (!session)
        return unavailable ? Lookup::Unavailable : Lookup::Failed;
    const std::string sql =
        std::string("SELECT ") + kRecordColumns + " FROM accounts WHERE nick_key = $1";
    const std::array<const char *, 1> parameters = {nickKey.c_str()};
    PostgresProblem problem;
    const PostgresResult result =
        session->query(sql.c_str(), parameters, after(kChangeTime), problem);
    giveBack(std::move(session));
    if (!result) {
        error = "cannot read the account: " + problem.text;
        return problem.unavailable ? Lookup::Unavailable : Lookup::Failed;
    }
    if (PQntuples(result.get()) == 0)
        return Lookup::Free;
    found = recordOf(result.get(), false);
    return Lookup::Taken;
}

AccountStore::Change
PostgresAccountStore::forEach(const AccountFilter &filter, bool withHash,
                              const std::function<bool(const AccountRecord &)> &each,
                              std::string &error)
{
    bool unavailable = true;
    std::unique_ptr<PostgresSession> session = takeSession(error, unavailable);
    if (!session)
        return unavailable ? Change::Unavailable : Change::Failed;
    const std::string sql = std::string("SELECT ") + kRecordColumns +
                            " FROM accounts WHERE ($1::timestamptz IS NULL OR created_at >= "
                            "$1::timestamptz) AND ($2::text IS NULL OR status = $2) ORDER BY id";
    const char *status = filter.locked ? (*filter.locked ? "locked" : "active") : nullptr;
    const std::array<const char *, 2> parameters = {
        filter.since.empty() ? nullptr : filter.since.c_str(), status};
    PostgresProblem problem;
    const bool done = session->stream(
        sql.c_str(), parameters, kQuietTime,
        [&](const PGresult *row) { return each(recordOf(row, withHash)); }, problem);
    giveBack(std::move(session));
    if (done)
        return Change::Done;
    error = "cannot read the accounts: " + problem.text;
    return problem.unavailable ? Change::Unavailable : Change::Failed;
}

AccountStore::Change
PostgresAccountStore::forEachTombstone(const std::function<bool(const Tombstone &)> &each,
                                       std::string &error)
{
    bool unavailable = true;
    std::unique_ptr<PostgresSession> session = takeSession(error, unavailable);
    if (!session)
        return unavailable ? Change::Unavailable : Change::Failed;
    PostgresProblem problem;
    const bool done = session->stream(
        "SELECT nick_key, " PARLONDA_UTC("deleted_at") " FROM tombstones ORDER BY nick_key", {},
        kQuietTime,
        [&](const PGresult *row) {
            return each({PQgetvalue(row, 0, 0), PQgetvalue(row, 0, 1)});
        },
        problem);
    giveBack(std::move(session));
    if (done)
        return Change::Done;
    error = "cannot read the tombstones: " + problem.text;
    return problem.unavailable ? Change::Unavailable : Change::Failed;
}

AccountStore::Change PostgresAccountStore::import(AccountStore &source, ImportOutcome &outcome,
                                                  std::string &error)
{
    static constexpr const char *kStage = R"sql(
BEGIN;
LOCK TABLE accounts IN SHARE ROW EXCLUSIVE MODE;
CREATE TEMP TABLE incoming (
    nick text, nick_key text, names text, email text, phone text, city text, country text,
    created_at timestamptz, status text, locked_reason text, locked_at timestamptz,
    password_hash text) ON COMMIT DROP;
CREATE TEMP TABLE incoming_tombstones (nick_key text, deleted_at timestamptz) ON COMMIT DROP;
)sql";
    static constexpr const char *kConflict = R"sql(
SELECT i.nick_key FROM incoming i JOIN accounts a USING (nick_key)
    WHERE date_trunc('milliseconds', a.created_at) <> date_trunc('milliseconds', i.created_at)
       OR a.password_hash <> i.password_hash
UNION ALL SELECT nick_key FROM incoming JOIN tombstones USING (nick_key)
UNION ALL SELECT nick_key FROM incoming_tombstones JOIN accounts USING (nick_key)
LIMIT 1
)sql";
    static constexpr const char *kAdd = R"sql(
WITH accounts_added AS (
    INSERT INTO accounts (nick, nick_key, names, email, phone, city, country, created_at,
                          status, locked_reason, locked_at, password_hash)
    SELECT nick, nick_key, names, email, phone, city, country, created_at, status,
           locked_reason, locked_at, password_hash
    FROM incoming WHERE nick_key NOT IN (SELECT nick_key FROM accounts)
    RETURNING 1),
tombstones_added AS (
    INSERT INTO tombstones (nick_key, deleted_at)
    SELECT nick_key, deleted_at FROM incoming_tombstones
    WHERE nick_key NOT IN (SELECT nick_key FROM tombstones)
    RETURNING 1)
SELECT (SELECT count(*) FROM accounts_added) + (SELECT count(*) FROM tombstones_added),
       (SELECT count(*) FROM incoming) + (SELECT count(*) FROM incoming_tombstones)
)sql";

    bool unavailable = true;
    std::unique_ptr<PostgresSession> session = takeSession(error, unavailable);
    if (!session)
        return unavailable ? Change::Unavailable : Change::Failed;
    PostgresProblem problem;
    const auto failed = [&](const std::string &what) {
        if (!problem.text.empty())
            error = what + ": " + problem.text;
        PostgresProblem ignored;
        if (session->usable())
            session->execute("ROLLBACK", after(kChangeTime), ignored);
        giveBack(std::move(session));
        if (problem.text.empty())
            return Change::Failed;
        return problem.unavailable ? Change::Unavailable : Change::Failed;
    };
    if (!session->execute(kStage, after(kChangeTime), problem))
        return failed("cannot copy into the database");

    // Rows go out as the source gives them, a buffer at a time.
    std::string buffer;
    bool sent = true;
    const auto flush = [&](std::size_t above) {
        if (sent && buffer.size() > above) {
            sent = session->putCopy(buffer, kQuietTime, problem);
            buffer.clear();
        }
        return sent;
    };
    constexpr std::size_t kBuffer = 256 * 1024;
    Change read = Change::Done;
    if (!session->beginCopy("COPY incoming FROM STDIN", kQuietTime, problem))
        return failed("cannot copy into the database");
    read = source.forEach(
        {}, true,
        [&](const AccountRecord &r) {
            const Account &a = r.account;
            for (const std::string *text : {&a.nick, &a.nickKey, &a.names, &a.email, &a.phone,
                                            &a.city, &a.country, &r.createdAt})
                appendCopyField(buffer, *text, false, '\t');
            appendCopyField(buffer, r.locked ? "locked" : "active", false, '\t');
            appendCopyField(buffer, r.lockedReason, r.lockedReason.empty(), '\t');
            appendCopyField(buffer, r.lockedAt, r.lockedAt.empty(), '\t');
            appendCopyField(buffer, r.passwordHash, false, '\n');
            return flush(kBuffer);
        },
        error);
    if (read == Change::Done && flush(0) && session->endCopy(kQuietTime, problem) &&
        session->beginCopy("COPY incoming_tombstones FROM STDIN", kQuietTime, problem)) {
        read = source.forEachTombstone(
            [&](const Tombstone &t) {
                appendCopyField(buffer, t.nickKey, false, '\t');
                appendCopyField(buffer, t.deletedAt, false, '\n');
                return flush(kBuffer);
            },
            error);
        if (read == Change::Done && flush(0))
            session->endCopy(kQuietTime, problem);
    }
    if (read != Change::Done) {
        problem.text.clear();
        // The server ends the copy once the connection closes.
        session.reset();
        return read;
    }
    if (!sent || !problem.text.empty())
        return failed("cannot copy into the database");

    const PostgresResult conflict = session->execute(kConflict, after(kQuietTime), problem);
    if (!conflict)
        return failed("cannot copy into the database");
    if (PQntuples(conflict.get()) > 0) {
        outcome.conflict = PQgetvalue(conflict.get(), 0, 0);
        failed({});
        return Change::Done;
    }
    const PostgresResult added = session->execute(kAdd, after(kQuietTime), problem);
    if (!added || !session->execute("COMMIT", after(kQuietTime), problem))
        return failed("cannot copy into the database");
    outcome.added = std::strtoull(PQgetvalue(added.get(), 0, 0), nullptr, 10);
    outcome.alreadyThere =
        std::strtoull(PQgetvalue(added.get(), 0, 1), nullptr, 10) - outcome.added;
    giveBack(std::move(session));
    return Change::Done;
}

AccountStore::Change PostgresAccountStore::backup(const std::string &, std::string &error)
{
    error = "backup copies an SQLite file; for PostgreSQL, use pg_dump (see docs/service.md)";
    return Change::Failed;
}

} // namespace parlonda
