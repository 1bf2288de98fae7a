#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace parlonda {

// Nicks the operator keeps from sign-ups ("admin", "soporte"...), held as
// the keys taken nicks are compared by, so that "Admin" and "ADMIN" are
// reserved with "admin".
class ReservedNicks
{
public:
    // The list built in from server/signup/reserved-nicks.txt.
    static ReservedNicks builtIn();
    // One nick per line, UTF-8; blank lines and lines starting with "#" are
    // skipped, and so are spaces around a nick. Null, with the reason in
    // `error`, when the file cannot be read or a line is no nick at all.
    static std::optional<ReservedNicks> fromFile(const std::string &path, std::string &error);
    static std::optional<ReservedNicks> fromText(std::string_view text, std::string &error);

    // `nickKey` as Registration::nickKey holds it.
    bool contains(const std::string &nickKey) const { return m_keys.count(nickKey) != 0; }
    std::size_t size() const { return m_keys.size(); }

private:
    std::set<std::string, std::less<>> m_keys;
};

} // namespace parlonda
