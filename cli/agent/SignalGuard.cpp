#include "SignalGuard.h"

#include <atomic>

namespace {

std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void OnQuitSignal(int number) {
    g_signal.store(number);
}

} // namespace

SignalGuard::SignalGuard() {
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    // Restarting keeps blocking reads and writes of the workers going; they poll the flag.
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &oldInt_);
    ::sigaction(SIGTERM, &action, &oldTerm_);
}

SignalGuard::~SignalGuard() {
    ::sigaction(SIGINT, &oldInt_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
}

bool SignalGuard::QuitRequested() {
    return g_signal.load() != 0;
}

int SignalGuard::Signal() {
    return g_signal.load();
}

bool SignalGuard::QuitCallback(void* /*context*/) {
    return QuitRequested();
}
