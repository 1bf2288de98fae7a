#pragma once

#include "server/store/account_store.h"

#include <string>
#include <string_view>

namespace parlonda {

// A JSON string, quotes included; the text is UTF-8 already.
std::string jsonString(std::string_view text);
void appendJsonString(std::string &out, std::string_view text);

// The account as one JSON object on one line: every stored field but the
// hash; the lock's reason and time null unless locked.
std::string accountJson(const AccountRecord &record);
void appendAccountJson(std::string &out, const AccountRecord &record);

// The listing's heading and one line per account, for a person: nick,
// status, created_at, e-mail, in columns.
std::string accountTableHeading();
std::string accountTableLine(const AccountRecord &record);

// Every field but the hash, one "name: value" a line.
std::string accountDetails(const AccountRecord &record);

} // namespace parlonda
