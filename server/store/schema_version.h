#pragma once

#include <cstddef>
#include <string>

namespace parlonda {

// Each store keeps its schema as a list of steps: step i takes a database
// from version i to version i + 1, and the newest version is the number of
// steps. A change to a table is a new step at the end, never an edit of an
// earlier one: databases out there have run those. At start a store applies
// the steps its database lacks, in order, in one transaction.

// The refusal to start on a database that a newer release has changed:
// this release does not know what those changes mean for its own writes.
std::string newerSchemaRefusal(const std::string &where, long long version, std::size_t newest);

} // namespace parlonda
