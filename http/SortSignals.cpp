// Signals during a sort (SortSignals.h).
#include "SortSignals.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The signal noted; 0 when none. The handler only stores it, so errno and
// everything else the interrupted code is using stay as they were.
volatile sig_atomic_t noted = 0;

// A signal that comes after the run has looked at the note and before it
// enters a read, write or open that then waits (on a pipe, a terminal, a
// named pipe) interrupts nothing: the wait would last until the input or
// its reader moves. So once a signal is noted, SIGALRM comes every second
// while the handlers are installed: each one makes such a wait return
// EINTR, and the run looks at the note again. alarm() is safe in a
// handler and leaves errno alone.
volatile sig_atomic_t alarming = 0;  // the handlers are installed

void alarmAgain(int)
{
    if (alarming) alarm(1);
}

void noteSignal(int signal)
{
    noted = signal;
    if (alarming) alarm(1);
}

}  // namespace

SortInterrupted::SortInterrupted(int signal)
    : std::runtime_error("stopped by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")"),
      signal(signal)
{
}

struct SortSignals::Saved {
    struct sigaction interrupt;  // SIGINT's previous handler
    struct sigaction terminate;  // SIGTERM's previous handler
    struct sigaction hangup;     // SIGHUP's previous handler
    struct sigaction wake;       // SIGALRM's previous handler
};

namespace {

// Installs handler for signal without SA_RESTART: a waiting read or write
// returns EINTR.
void install(int signal, void (*handler)(int), struct sigaction* previous)
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signal, &action, previous);
}

}  // namespace

SortSignals::SortSignals() : saved(new Saved())
{
    install(SIGALRM, alarmAgain, &saved->wake);
    alarming = 1;
    install(SIGINT, noteSignal, &saved->interrupt);
    install(SIGTERM, noteSignal, &saved->terminate);
    // A hangup (a closed terminal) would end the process where it stands,
    // leaving a file written beside the output; one started with hangups
    // ignored (nohup) keeps ignoring them.
    sigaction(SIGHUP, nullptr, &saved->hangup);
    if (saved->hangup.sa_handler != SIG_IGN) install(SIGHUP, noteSignal, nullptr);
}

// An alarm that came before alarm(0) is taken, at the latest, as that call
// returns, while alarmAgain is still installed; it then arms nothing, so
// no alarm comes once the previous SIGALRM handler (the default: the end
// of the process) is back.
SortSignals::~SortSignals()
{
    sigaction(SIGINT, &saved->interrupt, nullptr);
    sigaction(SIGTERM, &saved->terminate, nullptr);
    sigaction(SIGHUP, &saved->hangup, nullptr);
    alarming = 0;
    alarm(0);
    sigaction(SIGALRM, &saved->wake, nullptr);
}

void sort_note_signal(int signal) { noted = signal; }

int sort_signal_noted() { return noted; }

void sort_stop_if_signalled()
{
    if (noted) throw SortInterrupted(noted);
}

void sort_end_by_signal(int signal)
{
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    std::_Exit(128 + signal);  // the signal was blocked or ignored by the one who started us
}
