#include "server/service_signals.h"

#include <csignal>
#include <pthread.h>

namespace parlonda {
namespace {

sigset_t serviceSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
    return set;
}

} // namespace

void blockServiceSignals()
{
    const sigset_t set = serviceSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int waitForServiceSignal()
{
    const sigset_t set = serviceSignals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    return signal;
}

} // namespace parlonda
