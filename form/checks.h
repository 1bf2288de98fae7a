#pragma once

#include <QStringList>

namespace parlonda {

enum class CheckResult { Passed, PasswordsDiffer, RequiredEmpty };

// The checks "&Registrar" runs before anything is sent, in this order: the
// password must equal its confirmation (exactly, letter case included), then
// no box whose tag is non-empty may be empty. A box holding only spaces is
// filled. `texts` and `tags` are indexed by box.
CheckResult checkEntries(const QStringList &texts, const QStringList &tags);

} // namespace parlonda
