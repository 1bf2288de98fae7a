// Whether a password opens a Parlonda account, as a chat server checks it.
// Usage: check_password CONNINFO NICK PASSWORD
// CONNINFO as libpq takes it; NICK and PASSWORD in UTF-8, as the user gives them.
// Exit status 0: it does; 1: no such account, a locked one, or the wrong
// password; 2: error.
#include <QString>
#include <cstdio>
#include <cstring>
#include <libpq-fe.h>
#include <sodium.h>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: check_password CONNINFO NICK PASSWORD\n");
        return 2;
    }
    if (sodium_init() < 0)
        return 2;
    // The account's key: the nick case-folded, as the service folds it.
    const std::string nickKey = QString::fromUtf8(argv[2]).toCaseFolded().toStdString();
    const char *password = argv[3];

    PGconn *db = PQconnectdb(argv[1]);
    if (PQstatus(db) != CONNECTION_OK) {
        std::fprintf(stderr, "%s", PQerrorMessage(db));
        PQfinish(db);
        return 2;
    }
    const char *key = nickKey.c_str();
    // Only an active account logs in: a locked one keeps its row and its hash.
    PGresult *row = PQexecParams(
        db, "SELECT password_hash FROM accounts WHERE nick_key = $1 AND status = 'active'", 1,
        nullptr, &key, nullptr, nullptr, 0);
    int status = 1;
    if (PQresultStatus(row) != PGRES_TUPLES_OK) {
        std::fprintf(stderr, "%s", PQerrorMessage(db));
        status = 2;
    } else if (PQntuples(row) == 1 && crypto_pwhash_str_verify(PQgetvalue(row, 0, 0), password,
                                                               std::strlen(password)) == 0) {
        status = 0;
    }
    PQclear(row);
    PQfinish(db);
    return status;
}
