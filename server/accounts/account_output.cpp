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

void appendJsonString(std::string &out, std::string_view text)
{
    out += '"';
    // Runs of characters that need no escape go in whole.
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != '"' && byte != '\\')
            continue;
        out.append(text.substr(plain, i - plain));
        plain = i + 1;
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        }
    }
    out.append(text.substr(plain));
    out += '"';
}

std::string jsonString(std::string_view text)
{
    std::string out;
    appendJsonString(out, text);
    return out;
}

void appendAccountJson(std::string &out, const AccountRecord &record)
{
    const Account &a = record.account;
    const std::pair<const char *, const std::string *> fields[] = {
        {"{\"nick\":", &a.nick},       {",\"nick_key\":", &a.nickKey},
        {",\"names\":", &a.names},     {",\"email\":", &a.email},
        {",\"phone\":", &a.phone},     {",\"city\":", &a.city},
        {",\"country\":", &a.country}, {",\"created_at\":", &record.createdAt},
    };
    for (const auto &[name, value] : fields) {
        out += name;
        appendJsonString(out, *value);
    }
    if (record.locked) {
        out += ",\"status\":\"locked\",\"locked_reason\":";
        appendJsonString(out, record.lockedReason);
        out += ",\"locked_at\":";
        appendJsonString(out, record.lockedAt);
        out += '}';
    } else {
        out += ",\"status\":\"active\",\"locked_reason\":null,\"locked_at\":null}";
    }
}

std::string accountJson(const AccountRecord &record)
{
    std::string out;
    appendAccountJson(out, record);
    return out;
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
