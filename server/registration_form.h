#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace parlonda {

// One sign-up as the client sends it, every text decoded from Windows-1252
// to UTF-8.
struct Registration
{
    std::string nick;
    // The nick case-folded: "Ana" and "ana" are one account, also for
    // accented letters ("Ñandú", "ñandú"), which SQLite's NOCASE would miss.
    std::string nickKey;
    std::string names;
    std::string email;
    std::string phone; // the only field that may be empty
    std::string city;
    std::string country;
    std::string password;
};

// What reading a form body gave: a registration, or the reason it was
// refused.
struct RegistrationForm
{
    std::optional<Registration> registration;
    // The nick as sent (UTF-8) whenever it could be decoded, also when the
    // form is refused, so that the request log can name it.
    std::string nick;
    // Short plain text for the client. It names a field but never quotes a
    // value, so that no password can end up in an answer or a log.
    std::string problem;
};

// Reads "nick=..&nombres=..&email=..&tel=..&ciudad=..&pais=..&paswd=..".
// Exactly these seven keys, each once, in any order; unknown keys are refused
// because they usually mean a client that left a "&" inside a value
// unencoded, which would silently cut that value short.
RegistrationForm readRegistrationForm(std::string_view body);

// True for "application/x-www-form-urlencoded", in any letter case and with
// or without parameters such as "; charset=windows-1252".
bool isFormContentType(std::string_view contentType);

} // namespace parlonda
