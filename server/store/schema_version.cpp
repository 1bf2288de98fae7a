#include "server/store/schema_version.h"

namespace parlonda {

std::string newerSchemaRefusal(const std::string &where, long long version, std::size_t newest)
{
    return "the accounts database " + where + " has schema version " + std::to_string(version) +
           ", newer than this parlonda-regnick knows (" + std::to_string(newest) +
           "): a newer release has changed it; run that release, or restore a backup";
}

} // namespace parlonda
