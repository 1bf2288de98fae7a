#include "server/signup/regnick_service.h"

#include "server/metrics.h"
#include "server/request_log.h"
#include "server/signup/hash_pool.h"
#include "server/signup/password_hash.h"
#include "server/signup/rate_limiter.h"
#include "server/signup/registration_form.h"
#include "server/signup/reserved_nicks.h"
#include "server/store/account_store.h"
#include "server/store/database_reader.h"

#include <algorithm>
#include <array>
#include <sodium.h>
#include <string>

namespace parlonda {
namespace {

// The client tells the user the service is busy and to try again shortly.
constexpr std::string_view kUnavailable = "The accounts database is unavailable; try again later\n";
constexpr std::string_view kBusy = "The service is busy; try again shortly\n";
constexpr std::string_view kStopping = "The service is restarting; try again shortly\n";

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

// Whole seconds, rounded up, at least one.
std::string retryAfter(Clock::duration wait)
{
    const auto whole = std::chrono::ceil<std::chrono::seconds>(wait).count();
    return std::to_string(std::max<long long>(1, whole));
}

// Whether every entry but the nick and the password is the same, in a
// time that does not depend on which of them differ, or where: each is
// compared as a digest of fixed size, and all of them always.
bool sameEntries(const Account &stored, const Account &given)
{
    const std::array<std::pair<const std::string *, const std::string *>, 5> entries = {{
        {&stored.names, &given.names},
        {&stored.email, &given.email},
        {&stored.phone, &given.phone},
        {&stored.city, &given.city},
        {&stored.country, &given.country},
    }};
    int differences = 0;
    for (const auto &[kept, sent] : entries) {
        std::array<unsigned char, crypto_generichash_BYTES> keptDigest{};
        std::array<unsigned char, crypto_generichash_BYTES> sentDigest{};
        crypto_generichash(keptDigest.data(), keptDigest.size(),
                           reinterpret_cast<const unsigned char *>(kept->data()), kept->size(),
                           nullptr, 0);
        crypto_generichash(sentDigest.data(), sentDigest.size(),
                           reinterpret_cast<const unsigned char *>(sent->data()), sent->size(),
                           nullptr, 0);
        differences |= sodium_memcmp(keptDigest.data(), sentDigest.data(), keptDigest.size());
    }
    return differences == 0;
}

} // namespace

HttpDaemon::Route RegnickService::route()
{
    return {std::string(kPath), "POST", [this](HttpRequest &request) { handle(request); }};
}

HttpDaemon::Route RegnickService::healthRoute()
{
    return {std::string(kHealthPath), "GET",
            [this](HttpRequest &request) { checkHealth(request); }};
}

HttpDaemon::Route RegnickService::liveRoute()
{
    return {std::string(kLivePath), "GET",
            [](HttpRequest &request) { request.reply(200, "ok\n"); }};
}

void RegnickService::checkHealth(HttpRequest &request)
{
    if (!m_reader.healthy()) {
        const auto down = m_reader.downFor().value_or(DatabaseReader::kDefaultBackOff);
        request.reply(503, "database unavailable\n", {{"Retry-After", retryAfter(down)}});
        return;
    }
    // The queue's wait hovers at --max-wait while sign-ups are shed: one
    // shed within the last second keeps the answer 503 in between.
    const auto queueWait = m_hashing.expectedWait();
    const Clock::rep lastShed = m_lastShed.load();
    const bool shedLately =
        lastShed != 0 &&
        Clock::now() - Clock::time_point(Clock::duration(lastShed)) < kShedShownFor;
    if (queueWait > m_maxWait.load() || shedLately) {
        request.reply(503, "shedding sign-ups\n", {{"Retry-After", retryAfter(queueWait)}});
        return;
    }
    request.reply(200, "ok\n");
}

void RegnickService::answerUnavailable(HttpRequest &request, bool resuming)
{
    m_metrics.signup(Metrics::Signup::DatabaseError);
    request.note({}, "unavailable");
    const HttpRequest::Headers headers = {
        {"Retry-After", retryAfter(m_reader.downFor().value_or(DatabaseReader::kDefaultBackOff))}};
    if (resuming)
        request.resume(503, std::string(kUnavailable), headers);
    else
        request.reply(503, std::string(kUnavailable), headers);
}

void RegnickService::handle(HttpRequest &request)
{
    // Every attempt counts, also a malformed one or a taken nick: probing
    // for nicks or for the form's rules is an attempt too.
    const std::chrono::seconds wait =
        m_attempts.take(request.clientAddress(), RateLimiter::Clock::now());
    if (wait.count() > 0) {
        m_metrics.signup(Metrics::Signup::RateLimited);
        const std::string after = std::to_string(wait.count());
        request.reply(429, "Too many sign-ups from this address; try again in " + after + " s\n",
                      {{"Retry-After", after}});
        return;
    }
    const std::string contentType = request.header("Content-Type");
    if (!isFormContentType(contentType)) {
        request.reply(415, "Expected application/x-www-form-urlencoded\n");
        return;
    }
    const std::optional<FormCharset> charset = formCharset(contentType);
    if (!charset) {
        request.note({}, "wrong-type", "a charset other than windows-1252 or utf-8");
        request.reply(415, "Expected charset=windows-1252 or charset=utf-8\n");
        return;
    }

    RegistrationForm form = readRegistrationForm(request.body(), *charset);
    if (!form.problem.empty()) {
        // The reason names a field, never a value: the log may read it.
        request.note(form.nick, "rejected", form.problem);
        request.reply(400, form.problem + '\n');
        return;
    }
    if (form.nickProblem != NickProblem::None) {
        m_metrics.signup(Metrics::Signup::RefusedNick);
        request.note(form.nick, "refused:" + std::string(nickProblemName(form.nickProblem)));
        request.reply(200, "Error");
        return;
    }

    // Reserved for the operator: in use, as far as the client can tell.
    if (m_reserved.load()->contains(form.registration->nickKey)) {
        m_metrics.signup(Metrics::Signup::RefusedNick);
        request.note(form.nick, "refused:reserved");
        request.reply(200, "Error");
        return;
    }

    // Overloaded: told at once, as the look-up would only delay the answer.
    if (const auto queueWait = m_hashing.expectedWait(); queueWait > m_maxWait.load()) {
        shed();
        request.note(form.nick, "shed");
        request.reply(503, std::string(kBusy), {{"Retry-After", retryAfter(queueWait)}});
        return;
    }

    request.note(form.nick, {});
    // Told at once while the database is out of reach.
    if (m_reader.downFor()) {
        answerUnavailable(request, false);
        return;
    }

    // A taken nick costs a look-up, not a password hash. The look-up only
    // saves work: the database's UNIQUE constraint still decides a race.
    request.suspend();
    const std::string nickKey = form.registration->nickKey;
    const bool queued = m_reader.lookup(
        nickKey, [this, &request, registration = std::move(*form.registration)](
                     std::optional<AccountStore::Lookup> found, const std::string &error) mutable {
            lookedUp(request, found, error, registration);
            sodium_memzero(registration.password.data(), registration.password.size());
        });
    if (!queued)
        answerStopping(request);
}

void RegnickService::lookedUp(HttpRequest &request, std::optional<AccountStore::Lookup> found,
                              const std::string &error, Registration &registration)
{
    if (!found) {
        answerStopping(request);
        return;
    }
    switch (*found) {
    case AccountStore::Lookup::Taken:
        answerTaken(request, registration);
        return;
    case AccountStore::Lookup::Failed:
        answerFailed(request, error);
        return;
    case AccountStore::Lookup::Unavailable:
        answerUnavailable(request, true);
        return;
    case AccountStore::Lookup::Free:
        hashInTurn(request, std::move(registration),
                   [this, &request](Registration &free) { registerAccount(request, free); });
        return;
    }
}

void RegnickService::answerTaken(HttpRequest &request, Registration &registration)
{
    const auto taken = [&] { answerNickTaken(request, "taken"); };
    if (m_repeatWindow.load().count() == 0)
        return taken();

    StoredAccount stored;
    std::string error;
    switch (m_store.findAccount(registration.nickKey, stored, error)) {
    case AccountStore::Lookup::Taken:
        break;
    case AccountStore::Lookup::Free:
        // Gone since the look-up: taken, as far as this sign-up saw.
        return taken();
    case AccountStore::Lookup::Failed:
        return answerFailed(request, error);
    case AccountStore::Lookup::Unavailable:
        // Perhaps a repeat: "Error" would send its person to another nick.
        m_log.problem(error);
        return answerUnavailable(request, true);
    }

    // Older accounts cost no hash. A recent one always costs one, whatever
    // its entries, so that the time of the answer does not tell whether
    // they matched.
    if (!recent(stored))
        return taken();

    hashInTurn(request, std::move(registration),
               [this, &request, stored = std::move(stored)](Registration &repeated) {
                   confirmRepeat(request, repeated, stored);
               });
}

bool RegnickService::recent(const StoredAccount &stored) const
{
    // An age that cannot be read counts as older than any window.
    const std::chrono::seconds window = m_repeatWindow.load();
    return window.count() > 0 && stored.age && stored.age->count() >= 0 && *stored.age < window;
}

void RegnickService::hashInTurn(HttpRequest &request, Registration registration,
                                std::function<void(Registration &)> work)
{
    // Better told now to come back than answered after the client gave up.
    if (const auto queueWait = m_hashing.expectedWait(); queueWait > m_maxWait.load()) {
        sodium_memzero(registration.password.data(), registration.password.size());
        shed();
        request.note({}, "shed");
        request.resume(503, std::string(kBusy), {{"Retry-After", retryAfter(queueWait)}});
        return;
    }

    const Clock::time_point deadline = request.arrived() + m_maxWait.load();
    const bool queued =
        m_hashing.submit([this, &request, deadline, work = std::move(work),
                          registration = std::move(registration)](bool run) mutable {
            if (run && Clock::now() > deadline) {
                // Its client is about to give up: never stored.
                shed();
                request.note({}, "shed-late");
                request.resume(503, std::string(kBusy),
                               {{"Retry-After", retryAfter(m_hashing.expectedWait())}});
            } else if (run) {
                work(registration);
            } else {
                answerStopping(request);
            }
            sodium_memzero(registration.password.data(), registration.password.size());
        });
    if (!queued)
        answerStopping(request);
}

void RegnickService::shed()
{
    m_metrics.signup(Metrics::Signup::Shed);
    m_lastShed = Clock::now().time_since_epoch().count();
}

// The service stopped before the reader or a worker reached this sign-up:
// never stored, and its client told so, to try again once the next process
// serves.
void RegnickService::answerStopping(HttpRequest &request)
{
    m_metrics.signup(Metrics::Signup::Shed);
    request.note({}, "stopping");
    request.resume(503, std::string(kStopping), {{"Retry-After", "1"}});
}

void RegnickService::answerNickTaken(HttpRequest &request, const char *outcome)
{
    m_metrics.signup(Metrics::Signup::Taken);
    request.note({}, outcome);
    request.resume(200, "Error");
}

void RegnickService::answerFailed(HttpRequest &request, const std::string &error)
{
    m_metrics.signup(Metrics::Signup::DatabaseError);
    m_log.problem(error);
    request.note({}, "failed");
    request.resume(500, "Internal error\n");
}

void RegnickService::confirmRepeat(HttpRequest &request, const Registration &registration,
                                   const StoredAccount &stored, const char *takenOutcome)
{
    const Clock::time_point started = Clock::now();
    const bool samePassword = passwordMatches(registration.password, stored.passwordHash);
    const Clock::duration took = Clock::now() - started;
    m_metrics.hashTime().observe(seconds(took));
    m_hashing.jobTook(took);
    // A locked account is the operator's to give back: never a repeat,
    // though it costs its hash like any other, so that the time of the
    // answer does not tell that it is locked.
    if (!stored.locked & sameEntries(stored.account, registration) & samePassword) {
        m_metrics.signup(Metrics::Signup::Repeated);
        request.note({}, "repeated");
        request.resume(200, "OK");
    } else {
        answerNickTaken(request, takenOutcome);
    }
}

void RegnickService::registerAccount(HttpRequest &request, Registration &registration)
{
    // Slow on purpose, so done without any lock.
    const Clock::time_point started = Clock::now();
    const std::optional<std::string> hash = hashPassword(registration.password);
    const Clock::time_point hashed = Clock::now();
    m_metrics.hashTime().observe(seconds(hashed - started));
    if (!hash) {
        m_log.problem("cannot hash a password: out of memory");
        request.note({}, "failed");
        request.resume(500, "Internal error\n");
        return;
    }

    std::string error;
    const AccountStore::AddResult added = m_store.add(registration, *hash, error);
    m_hashing.jobTook(Clock::now() - started);
    m_reader.sawAdd(added, error);
    switch (added) {
    case AccountStore::AddResult::Added:
        m_metrics.signup(Metrics::Signup::Registered);
        request.note({}, "registered");
        request.resume(200, "OK");
        break;
    case AccountStore::AddResult::Taken: {
        // Another sign-up of the same nick got in between the look-up and
        // now: perhaps this one's own first attempt, still being hashed
        // when the person tried again.
        StoredAccount stored;
        const AccountStore::Lookup winner =
            m_repeatWindow.load().count() > 0
                ? m_store.findAccount(registration.nickKey, stored, error)
                : AccountStore::Lookup::Free;
        if (winner == AccountStore::Lookup::Unavailable) {
            // Perhaps a repeat: "Error" would send its person to another nick.
            m_log.problem(error);
            answerUnavailable(request, true);
        } else if (winner == AccountStore::Lookup::Failed) {
            answerFailed(request, error);
        } else if (winner == AccountStore::Lookup::Taken && recent(stored)) {
            confirmRepeat(request, registration, stored, "taken-at-insert");
        } else {
            answerNickTaken(request, "taken-at-insert");
        }
        break;
    }
    case AccountStore::AddResult::Failed:
        answerFailed(request, error);
        break;
    case AccountStore::AddResult::Unavailable:
        // Whether the row went in before the connection went is unknown;
        // either way this sign-up was not acknowledged.
        answerUnavailable(request, true);
        break;
    }
}

} // namespace parlonda
