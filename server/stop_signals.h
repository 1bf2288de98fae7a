#pragma once

namespace httplib {
class Server;
}

namespace parlonda {

// SIGINT and SIGTERM stop the service cleanly. Rather than acting in a signal
// handler, where almost nothing is safe, they are blocked in every thread and
// taken with sigwait() on a thread of our own, which then stops the server
// like any other code would.

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread
// started from it later: call it in main() before any thread exists.
void blockStopSignals();

// Serves on the already bound `server` until SIGINT or SIGTERM arrives, then
// lets the requests in progress finish. False when the server failed instead.
bool serveUntilStopSignal(httplib::Server &server);

} // namespace parlonda
