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

void noteSignal(int signal) { noted = signal; }

}  // namespace

SortInterrupted::SortInterrupted(int signal)
    : std::runtime_error("stopped by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")"),
      signal(signal)
{
}

struct SortSignals::Saved {
    struct sigaction interrupt;  // SIGINT's previous handler
    struct sigaction terminate;  // SIGTERM's previous handler
};

SortSignals::SortSignals() : saved(new Saved())
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a waiting read or write returns EINTR
    sigaction(SIGINT, &action, &saved->interrupt);
    sigaction(SIGTERM, &action, &saved->terminate);
}

SortSignals::~SortSignals()
{
    sigaction(SIGINT, &saved->interrupt, nullptr);
    sigaction(SIGTERM, &saved->terminate, nullptr);
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
