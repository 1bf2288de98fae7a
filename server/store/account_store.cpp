#include "server/store/account_store.h"

#include "server/store/postgres_account_store.h"
#include "server/store/sqlite_account_store.h"

namespace parlonda {

bool AccountStore::isPostgresUri(std::string_view where)
{
    return where.starts_with("postgresql://") || where.starts_with("postgres://");
}

std::unique_ptr<AccountStore> AccountStore::open(const std::string &where, std::string &error,
                                                 bool proveWritable)
{
    if (isPostgresUri(where))
        return PostgresAccountStore::open(where, error);
    return SqliteAccountStore::open(where, error, proveWritable);
}

} // namespace parlonda
