#include "platform/signals.h"

#include <csignal>
#include <initializer_list>
#include <unistd.h>

namespace kestrune::platform {

namespace {

volatile std::sig_atomic_t g_signal = 0;
unsigned g_limit_seconds = 2;

// Async-signal-safe only: a store, alarm() and _exit().
void on_termination(int signo) {
    if (g_signal != 0) _exit(128 + g_signal);
    g_signal = signo;
    alarm(g_limit_seconds);
}

void on_alarm(int) {
    static const char message[] = "kestrune: the program did not end in time after a signal\n";
    ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
    _exit(128 + (g_signal != 0 ? g_signal : SIGALRM));
}

void set_handler(int signo, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signo, &action, nullptr);
}

} // namespace

void install_termination_handlers(unsigned limit_seconds) {
    g_limit_seconds = limit_seconds > 0 ? limit_seconds : 1;
    set_handler(SIGALRM, on_alarm);
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) set_handler(signo, on_termination);
}

int termination_signal() {
    return g_signal;
}

} // namespace kestrune::platform
