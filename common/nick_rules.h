#pragma once

#include <QStringView>
#include <string_view>

namespace parlonda {

// The nick rules, shared by the dialog's nick box and the service. Each
// refuses a nick that would pass for another one, or that the dialog cannot
// keep in its colon-separated profile line. The value names the rule in the
// service's log.
enum class NickProblem {
    None,
    Empty,
    TooLong,          // over kMaxNickCharacters
    Whitespace,       // any kind: space, no-break space, tab, line separator...
    ControlCharacter, // C0, DEL, C1
    Invisible,        // format characters such as the soft hyphen, unassigned code points
    Colon,
};
constexpr int kMaxNickCharacters = 32;

NickProblem checkNick(QStringView nick);

// Whether one character may stand in a nick at all (every rule but the
// length and emptiness).
bool isNickCharacter(QChar c);

// A word for the log line: "whitespace", "too-long"...
std::string_view nickProblemName(NickProblem problem);

} // namespace parlonda
