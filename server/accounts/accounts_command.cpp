#include "server/accounts/accounts_command.h"

#include "server/accounts/account_output.h"
#include "server/accounts/new_password.h"
#include "server/accounts/operator_log.h"
#include "server/signup/password_hash.h"
#include "server/signup/registration_form.h"
#include "server/store/account_store.h"
#include "server/store/postgres_account_store.h"

#include <QString>
#include <QStringDecoder>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fnmatch.h>
#include <iostream>
#include <map>
#include <regex>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sysexits.h>
#include <unistd.h>

namespace parlonda {
namespace {

constexpr const char *kUsage = R"(Usage: parlonda-regnick accounts ACTION [ARGUMENT] [OPTION]...

Looks after the accounts in the service's database, SQLite or PostgreSQL,
with the service running or stopped. Each change is one transaction, and is
logged at notice to the journal (to standard error when the journal cannot
be reached) with who made it. NICK is folded as a sign-up folds it: "Ana",
"ANA" and "ana" are one account. Options may come before or after the
action's arguments; "--" ends them.

Actions:
  list [--since DATE] [--status active|locked] [--match PATTERN]
       [--email ADDRESS] [--json]
                       the accounts in the order they were made, as a table,
                       or with --json one JSON object a line. DATE is UTC:
                       2026-12-01 or 2026-12-01T09:30:00Z; PATTERN a shell
                       pattern ("ana*") on the folded nick; ADDRESS is
                       compared without regard to letter case
  show NICK [--json]   every stored field of the account but the password's
                       hash, with its status and lock
  export NICK          everything kept about the person, one UTF-8 JSON
                       document, for an access request
  lock NICK --reason TEXT
                       lock the account: it no longer logs in, its nick
                       stays taken, its data and hash stay as they are
  unlock NICK          undo a lock
  set-password NICK    a new password, one line on standard input, or typed
                       twice at a prompt without echo; hashed as a sign-up
                       hashes it
  delete NICK          erase the account; a tombstone keeps its folded nick
                       from sign-ups for --nick-cooldown days. On SQLite
                       the data is overwritten in the file and its -wal
  backup FILE          a consistent copy of an SQLite database into the new
                       FILE (mode 0600), while sign-ups go on; checked with
                       PRAGMA integrity_check
  copy --to DB         every account and tombstone into another database
                       (an SQLite file or a PostgreSQL URI), in one
                       transaction; one already there with the same
                       created_at and hash is skipped, any other holder of a
                       nick stops the copy with nothing changed

Options of the service, read as it reads them (see parlonda-regnick --help):
  --config FILE        the service's configuration file, as the unit gives it
                       (/etc/parlonda-regnick/regnick.conf when packaged)
  --db PATH|URI        the accounts database (default ./parlonda-regnick.db)
  --nick-cooldown DAYS for how long a deleted nick stays out of sign-ups
The service's other options are taken and have no effect here.

Run as root on an SQLite file, the files SQLite makes beside it (-wal,
-shm, -journal) get the database file's owner and mode, as SQLite does for
root, so that the service can go on using them.

Exit status (sysexits.h):
  0   done
  64  EX_USAGE: the command line is wrong
  65  EX_DATAERR: a reason, password or nick that cannot be stored; a copy
      that meets a nick the target holds otherwise
  66  EX_NOINPUT: no SQLite file at --db
  67  EX_NOUSER: no such account
  69  EX_UNAVAILABLE: the database cannot be reached or used
  70  EX_SOFTWARE: the database refused the change
  73  EX_CANTCREAT: the backup file cannot be made (it exists already?)
  74  EX_IOERR: the backup failed while written or checked
  75  EX_TEMPFAIL: the database is locked or busy; try again
)";

struct Command
{
    std::string action;
    std::vector<std::string> arguments;
    std::map<std::string, std::string> options; // the action's own: "--reason"...
    std::vector<std::string> shared;            // the service's
    bool help = false;
};

// The action's own options; true for those that take a value.
const std::map<std::string, bool, std::less<>> kOwnOptions = {
    {"--since", true}, {"--status", true}, {"--match", true}, {"--email", true},
    {"--json", false}, {"--reason", true}, {"--to", true},
};

// Which options and how many arguments each action takes.
struct ActionShape
{
    std::vector<std::string> options;
    const char *argument; // null: none
};
const std::map<std::string, ActionShape, std::less<>> kActions = {
    {"list", {{"--since", "--status", "--match", "--email", "--json"}, nullptr}},
    {"show", {{"--json"}, "NICK"}},
    {"export", {{}, "NICK"}},
    {"lock", {{"--reason"}, "NICK"}},
    {"unlock", {{}, "NICK"}},
    {"set-password", {{}, "NICK"}},
    {"delete", {{}, "NICK"}},
    {"backup", {{}, "FILE"}},
    {"copy", {{"--to"}, nullptr}},
};

int usage(const std::string &why)
{
    std::cerr << "parlonda-regnick: " << why << "\nTry 'parlonda-regnick accounts --help'.\n";
    return EX_USAGE;
}

std::optional<Command> parse(int argc, char **argv, const SharedOptions &shared, int &status)
{
    Command command;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || !arg.starts_with("-") || arg == "-") {
            (command.action.empty() ? command.action : command.arguments.emplace_back()) = arg;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            command.help = true;
            continue;
        }
        const auto equals = arg.find('=');
        const std::string name(arg.substr(0, equals));
        std::optional<std::string> value;
        if (equals != arg.npos)
            value = std::string(arg.substr(equals + 1));
        if (const auto own = kOwnOptions.find(name); own != kOwnOptions.end()) {
            if (own->second && !value && i + 1 < argc)
                value = argv[++i];
            if (own->second != value.has_value()) {
                status = usage(name + (own->second ? " needs a value" : " takes no value"));
                return std::nullopt;
            }
            if (command.options.count(name)) {
                status = usage(name + " given twice");
                return std::nullopt;
            }
            command.options[name] = value.value_or("");
            continue;
        }
        const std::optional<bool> takesValue = shared.takesValue(name);
        if (!takesValue) {
            status = usage("unknown option " + std::string(arg));
            return std::nullopt;
        }
        command.shared.emplace_back(arg);
        if (*takesValue && !value && i + 1 < argc)
            command.shared.emplace_back(argv[++i]);
    }
    if (command.help)
        return command;
    const auto shape = kActions.find(command.action);
    if (shape == kActions.end()) {
        status =
            usage(command.action.empty() ? "no action given" : "unknown action " + command.action);
        return std::nullopt;
    }
    for (const auto &[name, value] : command.options) {
        if (std::find(shape->second.options.begin(), shape->second.options.end(), name) ==
            shape->second.options.end()) {
            status = usage(command.action + " does not take " + name);
            return std::nullopt;
        }
    }
    const std::size_t wanted = shape->second.argument ? 1 : 0;
    if (command.arguments.size() != wanted) {
        status =
            usage(command.action + (wanted ? std::string(" takes one ") + shape->second.argument
                                           : std::string(" takes no argument")));
        return std::nullopt;
    }
    return command;
}

// A text given on the command line, as UTF-8 text; empty when it is not.
std::optional<QString> utf8Text(const std::string &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(QByteArrayView(bytes));
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

bool hasControlCharacter(const QString &text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            return true;
    }
    return false;
}

// Why the store failed, as an exit status: a lock or a busy database is
// worth another try; anything else between here and the database means
// it cannot be used now.
int unavailableStatus(const std::string &error)
{
    return error.find("locked") != error.npos || error.find("busy") != error.npos ? EX_TEMPFAIL
                                                                                  : EX_UNAVAILABLE;
}

class Accounts
{
public:
    Accounts(const Command &command, const AccountsSettings &settings, AccountStore &store)
        : m_command(command), m_settings(settings), m_store(store), m_operator(operatorName())
    {
    }

    int run()
    {
        const std::string &action = m_command.action;
        if (action == "list")
            return list();
        if (action == "backup")
            return backup();
        if (action == "copy")
            return copy();
        const std::optional<QString> nick = utf8Text(m_command.arguments.front());
        if (!nick || nick->isEmpty())
            return fail(EX_DATAERR, "a nick is UTF-8 text, and not empty");
        m_nick = m_command.arguments.front();
        m_nickKey = nickKey(*nick);
        if (action == "show" || action == "export")
            return show(action == "export");
        if (action == "lock")
            return lock();
        if (action == "unlock")
            return changed("unlock", m_store.unlock(m_nickKey, m_error));
        if (action == "set-password")
            return setPassword();
        return changed("delete", m_store.erase(m_nickKey, m_error));
    }

private:
    int fail(int status, const std::string &why)
    {
        std::cerr << "parlonda-regnick: " << why << '\n';
        return status;
    }

    int noSuchAccount() { return fail(EX_NOUSER, "no account " + jsonString(m_nick)); }

    int failed(AccountStore::Change change)
    {
        switch (change) {
        case AccountStore::Change::Done:
            return EX_OK;
        case AccountStore::Change::NoSuchAccount:
            return noSuchAccount();
        case AccountStore::Change::Unavailable:
            return fail(unavailableStatus(m_error), m_error);
        case AccountStore::Change::Failed:
            break;
        }
        return fail(EX_SOFTWARE, m_error);
    }

    // A change made: logged, and any warning shown.
    int changed(const std::string &action, AccountStore::Change change)
    {
        if (change != AccountStore::Change::Done)
            return failed(change);
        logChange(action, m_nick, m_operator);
        std::cout << "parlonda-regnick: " << action << ' ' << jsonString(m_nick) << ": done\n";
        if (!m_error.empty())
            std::cerr << "parlonda-regnick: " << m_error << '\n';
        return EX_OK;
    }

    const std::string *option(const char *name) const
    {
        const auto found = m_command.options.find(name);
        return found == m_command.options.end() ? nullptr : &found->second;
    }

    int list()
    {
        AccountFilter filter;
        if (const std::string *since = option("--since")) {
            static const std::regex date(R"(\d{4}-\d\d-\d\d(T\d\d:\d\d(:\d\d(\.\d{1,3})?)?Z)?)");
            if (!std::regex_match(*since, date))
                return usage("--since takes a UTC date, 2026-12-01 or 2026-12-01T09:30:00Z, not " +
                             *since);
            filter.since = *since;
        }
        if (const std::string *status = option("--status")) {
            if (*status != "active" && *status != "locked")
                return usage("--status takes active or locked, not " + *status);
            filter.locked = *status == "locked";
        }
        std::string pattern;
        if (const std::string *match = option("--match")) {
            const std::optional<QString> text = utf8Text(*match);
            if (!text)
                return usage("--match takes UTF-8 text");
            pattern = nickKey(*text);
        }
        const std::string *email = option("--email");
        const bool json = option("--json") != nullptr;

        std::string out = json ? std::string() : accountTableHeading();
        bool written = true;
        const auto write = [&out, &written] {
            written = written && std::fwrite(out.data(), 1, out.size(), stdout) == out.size();
            out.clear();
            return written;
        };
        const AccountStore::Change listed = m_store.forEach(
            filter, false,
            [&](const AccountRecord &record) {
                if (!pattern.empty() &&
                    ::fnmatch(pattern.c_str(), record.account.nickKey.c_str(), 0) != 0)
                    return true;
                if (email && !sameAddress(*email, record.account.email))
                    return true;
                if (json) {
                    appendAccountJson(out, record);
                    out += '\n';
                } else
                    out += accountTableLine(record);
                return out.size() < 64 * 1024 || write();
            },
            m_error);
        if (listed != AccountStore::Change::Done)
            return failed(listed);
        if (!write() || std::fflush(stdout) != 0)
            return fail(EX_IOERR, "cannot write the list");
        return EX_OK;
    }

    static bool sameAddress(const std::string &a, const std::string &b)
    {
        return QString::fromUtf8(a).compare(QString::fromUtf8(b), Qt::CaseInsensitive) == 0;
    }

    int show(bool exporting)
    {
        AccountRecord record;
        switch (m_store.record(m_nickKey, record, m_error)) {
        case AccountStore::Lookup::Taken:
            break;
        case AccountStore::Lookup::Free:
            return noSuchAccount();
        case AccountStore::Lookup::Unavailable:
            return fail(unavailableStatus(m_error), m_error);
        case AccountStore::Lookup::Failed:
            return fail(EX_SOFTWARE, m_error);
        }
        if (exporting)
            std::cout << exportDocument(record);
        else if (option("--json"))
            std::cout << accountJson(record) << '\n';
        else
            std::cout << accountDetails(record);
        return std::cout.flush() ? EX_OK : fail(EX_IOERR, "cannot write the account");
    }

    static std::string exportDocument(const AccountRecord &record)
    {
        char now[32];
        const std::time_t t = std::time(nullptr);
        std::tm utc{};
        std::strftime(now, sizeof now, "%Y-%m-%dT%H:%M:%SZ", ::gmtime_r(&t, &utc));
        return "{\n  \"exported_at\": " + jsonString(now) +
               ",\n  \"account\": " + accountJson(record) + ",\n  \"password\": " +
               jsonString("kept only as an Argon2id hash, which is not exported") +
               ",\n  \"request_log\": " +
               jsonString("each sign-up attempt is logged with the nick as sent, the client's "
                          "address and the time; the operator exports those lines apart") +
               "\n}\n";
    }

    int lock()
    {
        const std::string &reason = *option("--reason");
        const std::optional<QString> text = utf8Text(reason);
        if (!text)
            return fail(EX_DATAERR, "the reason is not UTF-8");
        if (text->trimmed().isEmpty() || text->size() > kMaxFieldCharacters ||
            hasControlCharacter(*text))
            return fail(EX_DATAERR, "the reason is one line of 1 to " +
                                        std::to_string(kMaxFieldCharacters) + " characters");
        return changed("lock", m_store.lock(m_nickKey, reason, m_error));
    }

    int setPassword()
    {
        // Asked for only once the account is known to be there.
        AccountRecord record;
        const AccountStore::Lookup found = m_store.record(m_nickKey, record, m_error);
        if (found == AccountStore::Lookup::Free)
            return noSuchAccount();
        if (found != AccountStore::Lookup::Taken)
            return fail(found == AccountStore::Lookup::Failed ? EX_SOFTWARE
                                                              : unavailableStatus(m_error),
                        m_error);
        std::optional<std::string> password = readNewPassword(record.account.nick);
        if (!password)
            return EX_DATAERR;
        const std::optional<std::string> hash = hashPassword(*password);
        sodium_memzero(password->data(), password->size());
        if (!hash)
            return fail(EX_SOFTWARE, "cannot hash the password: out of memory");
        return changed("set-password", m_store.setPasswordHash(m_nickKey, *hash, m_error));
    }

    int backup()
    {
        if (AccountStore::isPostgresUri(m_settings.db))
            return usage("backup copies an SQLite database; back PostgreSQL up with pg_dump "
                         "(see docs/service.md)");
        const std::string path = std::filesystem::absolute(m_command.arguments.front());
        // A backup is background work: the service's hash workers, which
        // want the processors and the disk now, go first.
        ::setpriority(PRIO_PROCESS, 0, 19);
        constexpr int kIoprioWhoProcess = 1;
        constexpr int kIoprioClassIdle = 3 << 13;
        ::syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, kIoprioClassIdle);
        switch (m_store.backup(path, m_error)) {
        case AccountStore::Change::Done:
            std::cout << "parlonda-regnick: backed up " << m_settings.db << " to " << path << '\n';
            return EX_OK;
        case AccountStore::Change::Unavailable:
            return fail(unavailableStatus(m_error), m_error);
        default:
            return fail(m_error.starts_with("cannot create") ? EX_CANTCREAT : EX_IOERR, m_error);
        }
    }

    int copy()
    {
        const std::string &to = *option("--to");
        const std::string shown = AccountStore::isPostgresUri(to) ? uriWithoutPassword(to) : to;
        if (to == m_settings.db)
            return usage("--to names the database --db names");
        std::unique_ptr<AccountStore> target = AccountStore::open(to, m_error);
        if (!target)
            return fail(unavailableStatus(m_error), m_error);
        ImportOutcome outcome;
        const AccountStore::Change copied = target->import(m_store, outcome, m_error);
        if (copied != AccountStore::Change::Done)
            return failed(copied);
        if (!outcome.conflict.empty())
            return fail(EX_DATAERR, shown + " holds the nick " + jsonString(outcome.conflict) +
                                        " already, with another account or a tombstone; "
                                        "nothing was copied");
        if (outcome.added == 0) {
            std::cout << "parlonda-regnick: every account (" << outcome.alreadyThere
                      << " accounts and tombstones) is already in " << shown
                      << "; nothing changed\n";
            return EX_OK;
        }
        logChange("copy", {}, m_operator,
                  std::to_string(outcome.added) + " accounts and tombstones to " + shown);
        std::cout << "parlonda-regnick: copied " << outcome.added << " accounts and tombstones to "
                  << shown << " (" << outcome.alreadyThere << " already there)\n";
        return EX_OK;
    }

    const Command &m_command;
    const AccountsSettings &m_settings;
    AccountStore &m_store;
    const std::string m_operator;
    std::string m_nick;
    std::string m_nickKey;
    std::string m_error;
};

} // namespace

int runAccountsCommand(int argc, char **argv, const SharedOptions &shared)
{
    int status = EX_OK;
    const std::optional<Command> command = parse(argc, argv, shared, status);
    if (!command)
        return status;
    if (command->help) {
        std::cout << kUsage;
        return EX_OK;
    }
    const std::optional<AccountsSettings> settings = shared.parse(command->shared);
    if (!settings) {
        std::cerr << "Try 'parlonda-regnick accounts --help'.\n";
        return EX_USAGE;
    }
    if (sodium_init() < 0) {
        std::cerr << "parlonda-regnick: cannot initialise libsodium\n";
        return EX_SOFTWARE;
    }
    // Files SQLite makes (a copy, temporary tables) are the owner's alone.
    ::umask(077);
    struct stat file
    {
    };
    if (!AccountStore::isPostgresUri(settings->db) && ::stat(settings->db.c_str(), &file) != 0) {
        std::cerr << "parlonda-regnick: no accounts database at " << settings->db << '\n';
        return EX_NOINPUT;
    }
    std::string error;
    std::unique_ptr<AccountStore> store = AccountStore::open(settings->db, error, false);
    if (!store) {
        std::cerr << "parlonda-regnick: " << error << '\n';
        return unavailableStatus(error);
    }
    store->setNickCooldown(settings->nickCooldown);
    return Accounts(*command, *settings, *store).run();
}

} // namespace parlonda
