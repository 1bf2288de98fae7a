#include "checks.h"

#include "form/field_table.h"

namespace parlonda {

CheckResult checkEntries(const QStringList &texts, const QStringList &tags)
{
    if (texts.value(kPasswordBox) != texts.value(kConfirmationBox))
        return CheckResult::PasswordsDiffer;
    for (qsizetype i = 0; i < texts.size(); ++i) {
        if (!tags.value(i).isEmpty() && texts[i].isEmpty())
            return CheckResult::RequiredEmpty;
    }
    return CheckResult::Passed;
}

QString checkMessage(CheckResult result)
{
    switch (result) {
    case CheckResult::PasswordsDiffer:
        return QStringLiteral("Los password no coinciden");
    case CheckResult::RequiredEmpty:
        return QStringLiteral(
            "Debe llenar todos los campos cuyos nombres se encuentren en negrita");
    case CheckResult::Passed:
        break;
    }
    return {};
}

} // namespace parlonda
