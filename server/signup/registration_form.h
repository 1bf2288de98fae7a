#pragma once

#include "common/nick_rules.h"
#include "server/store/account_store.h"

#include <optional>
#include <string>
#include <string_view>

namespace parlonda {

// One sign-up as the client sends it, every text decoded to UTF-8: the
// account to store, and the password to hash.
struct Registration : Account
{
    std::string password;
};

// Every field but the nick; the password too.
constexpr int kMaxFieldCharacters = 255;

// What reading a form body gave: a registration, a nick that the rules
// refuse, or the reason the form itself was refused.
struct RegistrationForm
{
    // Set only when the form is well formed and the nick follows the rules.
    std::optional<Registration> registration;
    // The nick as sent (UTF-8) whenever it could be decoded, also when the
    // form is refused, so that the request log can name it.
    std::string nick;
    // Short plain text for the client, for a form that is not well formed
    // (answered 400). It names a field but never quotes a value, so that no
    // password can end up in an answer or a log.
    std::string problem;
    // Set for a well-formed form whose nick the rules refuse. The client is
    // told only "Error", its protocol's one refusal, and asks for another nick.
    NickProblem nickProblem = NickProblem::None;
};

// How the form's bytes are to be read: the dialog sends Windows-1252 and
// names no charset; other clients may say "charset=utf-8".
enum class FormCharset { Windows1252, Utf8 };

// Reads "nick=..&nombres=..&email=..&tel=..&ciudad=..&pais=..&paswd=..".
// Exactly these seven keys, each once, in any order; unknown keys are refused
// because they usually mean a client that left a "&" inside a value
// unencoded, which would silently cut that value short. The form's own
// problems come first; the nick rules apply only to a well-formed form.
// Bytes that are not UTF-8 in a UTF-8 form refuse it.
RegistrationForm readRegistrationForm(std::string_view body,
                                      FormCharset charset = FormCharset::Windows1252);

// The key nicks are told apart by, in UTF-8: "Ana", "ANA" and "ana" are one
// nick. Taken and reserved nicks are both compared by it.
std::string nickKey(QStringView nick);

// True for "application/x-www-form-urlencoded", in any letter case and with
// or without parameters such as "; charset=windows-1252".
bool isFormContentType(std::string_view contentType);

// The charset a form's Content-Type names, in any letter case, quoted or
// not: none or "windows-1252" is Windows-1252, "utf-8" UTF-8; nothing for
// any other, which the service cannot read.
std::optional<FormCharset> formCharset(std::string_view contentType);

} // namespace parlonda
