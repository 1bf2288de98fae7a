#pragma once

namespace parlonda {

// SIGINT and SIGTERM stop the service, SIGHUP has it reopen its log and
// reload its configuration, SIGUSR1 only reopen its log. Rather than acting in a signal handler,
// where almost nothing is safe, they are blocked in every thread and taken with sigwait() by the
// main thread, which then acts like any other code would.

// Blocks SIGINT, SIGTERM, SIGHUP and SIGUSR1 in the calling thread, and so in every
// thread started from it later: call it in main() before any thread exists.
void blockServiceSignals();

// Waits for one of them; returns the signal.
int waitForServiceSignal();

} // namespace parlonda
