#pragma once

#include <signal.h>

// Turns SIGINT and SIGTERM into a request to stop: the handler only sets a flag, which the
// copy workers and the agent's quit-flag callback read. The previous handlers come back when
// the guard ends.
class SignalGuard {
public:
    SignalGuard();
    ~SignalGuard();
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

    static bool QuitRequested();
    // The signal that asked, 0 when none did.
    static int Signal();
    // The quit-flag callback handed to the agent.
    static bool QuitCallback(void* context);

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};
