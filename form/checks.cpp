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

} // namespace parlonda
