#include "server/stop_signals.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <httplib.h>
#include <pthread.h>
#include <thread>

namespace parlonda {
namespace {

sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void blockStopSignals()
{
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool serveUntilStopSignal(httplib::Server &server)
{
    std::atomic<bool> served{false};
    std::thread waiter([&server, &served] {
        const sigset_t set = stopSignals();
        int signal = 0;
        while (sigwait(&set, &signal) != 0) {
        }
        // stop() does nothing until the accept loop has started, so a signal
        // that comes in just before must wait for it rather than be lost.
        while (!served.load()) {
            if (server.is_running()) {
                server.stop();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    const bool ok = server.listen_after_bind();
    served.store(true);
    // Wakes the waiter when the server ended by itself; when a signal already
    // did, this one stays pending on a thread about to end, and is dropped.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    return ok;
}

} // namespace parlonda
