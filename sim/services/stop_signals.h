#pragma once
#include <pthread.h>

#include <csignal>

namespace qel::sim {

/// SIGTERM and SIGINT, blocked in the thread that makes this and in every thread it starts later,
/// so that `wait` takes them rather than a handler racing the server threads. Make it first.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGINT);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }
    /// Blocks until one of them arrives; returns its number.
    int wait() const {
        int signal = 0;
        sigwait(&set_, &signal);
        return signal;
    }

private:
    sigset_t set_{};
};

}  // namespace qel::sim
