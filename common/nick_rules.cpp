#include "common/nick_rules.h"

namespace parlonda {
namespace {

NickProblem characterProblem(QChar c)
{
    // Before the controls: a tab is both, and reads as blank space.
    if (c.isSpace())
        return NickProblem::Whitespace;
    switch (c.category()) {
    case QChar::Other_Control:
        return NickProblem::ControlCharacter;
    // "an\u00ADa" shows as "ana"; unassigned and private code points
    // show as nothing anyone could tell apart.
    case QChar::Other_Format:
    case QChar::Other_NotAssigned:
    case QChar::Other_PrivateUse:
    case QChar::Other_Surrogate:
        return NickProblem::Invisible;
    default:
        break;
    }
    if (c == u':')
        return NickProblem::Colon;
    return NickProblem::None;
}

} // namespace

NickProblem checkNick(QStringView nick)
{
    if (nick.isEmpty())
        return NickProblem::Empty;
    if (nick.size() > kMaxNickCharacters)
        return NickProblem::TooLong;
    for (QChar c : nick) {
        if (const NickProblem problem = characterProblem(c); problem != NickProblem::None)
            return problem;
    }
    return NickProblem::None;
}

bool isNickCharacter(QChar c)
{
    return characterProblem(c) == NickProblem::None;
}

std::string_view nickProblemName(NickProblem problem)
{
    switch (problem) {
    case NickProblem::None:
        break;
    case NickProblem::Empty:
        return "empty";
    case NickProblem::TooLong:
        return "too-long";
    case NickProblem::Whitespace:
        return "whitespace";
    case NickProblem::ControlCharacter:
        return "control-character";
    case NickProblem::Invisible:
        return "invisible-character";
    case NickProblem::Colon:
        return "colon";
    }
    return "none";
}

} // namespace parlonda
