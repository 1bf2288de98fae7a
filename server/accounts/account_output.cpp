#include "server/accounts/account_output.h"

#include <cstdio>
#include <utility>

namespace parlonda {
namespace {

// Characters, not bytes: the columns line up for "Ñandú" too.
std::size_t characters(std::string_view utf8)
{
    std::size_t count = 0;
    for (const char c : utf8)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

std::string padded(std::string_view text, std::size_t width)
{
    std::string out(text);
    for (std::size_t n = characters(text); n < width; ++n)
        out += ' ';
    return out;
}

const char *statusName(const AccountRecord &record)
{
    return record.locked ? "locked" : "active";
}

} // namespace

std::string jsonString(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + '"';
}

std::string accountJson(const AccountRecord &record)
{
    const Account &a = record.account;
    const std::pair<const char *, const std::string *> fields[] = {
        {"nick", &a.nick},       {"nick_key", &a.nickKey},
        {"names", &a.names},     {"email", &a.email},
        {"phone", &a.phone},     {"city", &a.city},
        {"country", &a.country}, {"created_at", &record.createdAt},
    };
    std::string out = "{";
    for (const auto &[name, value] : fields)
        out += jsonString(name) + ':' + jsonString(*value) + ',';
    out += "\"status\":" + jsonString(statusName(record));
    out += ",\"locked_reason\":" + (record.locked ? jsonString(record.lockedReason) : "null");
    out += ",\"locked_at\":" + (record.locked ? jsonString(record.lockedAt) : "null");
    return out + '}';
}

std::string accountTableHeading()
{
    return padded("NICK", 32) + "  " + padded("STATUS", 6) + "  " + padded("CREATED", 24) +
           "  E-MAIL\n";
}

std::string accountTableLine(const AccountRecord &record)
{
    return padded(record.account.nick, 32) + "  " + padded(statusName(record), 6) + "  " +
           padded(record.createdAt, 24) + "  " + record.account.email + '\n';
}

std::string accountDetails(const AccountRecord &record)
{
    const Account &a = record.account;
    std::string out = "nick:          " + a.nick + "\nnick_key:      " + a.nickKey +
                      "\nnames:         " + a.names + "\nemail:         " + a.email +
                      "\nphone:         " + a.phone + "\ncity:          " + a.city +
                      "\ncountry:       " + a.country + "\ncreated_at:    " + record.createdAt +
                      "\nstatus:        " + statusName(record) + '\n';
    if (record.locked)
        out +=
            "locked_reason: " + record.lockedReason + "\nlocked_at:     " + record.lockedAt + '\n';
    return out;
}

} // namespace parlonda
