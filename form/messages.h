#pragma once

#include "form/checks.h"

#include <QString>

// Every message the program shows the user, in one place. The wording is the
// service's and the program's own, typos included ("eliga"): users and the
// service's operators know these texts.
namespace parlonda::messages {

// What the user is told when a check fails; empty for Passed.
QString forCheck(CheckResult result);

// The service already has an account with this nick.
QString nickTaken(const QString &nick);
QString registered();
// The account exists, but its profile could not be written to `path`.
QString profileNotSaved(const QString &path);

// The service answered, but not with a registration.
QString serverStatus(int status);
QString serverBusy();

// The answer never came.
QString unreachable();
QString timedOut();
QString insecure();

} // namespace parlonda::messages
