#pragma once

namespace parlonda {

// SIGINT and SIGTERM stop the service. Rather than acting in a signal
// handler, where almost nothing is safe, they are blocked in every thread and
// taken with sigwait() by the main thread, which then stops the service like
// any other code would.

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread
// started from it later: call it in main() before any thread exists.
void blockStopSignals();

// Waits for SIGINT or SIGTERM; returns the signal.
int waitForStopSignal();

} // namespace parlonda
