// SIGINT, SIGTERM and SIGHUP during a sort: the run notices them within a
// block of work, even while a read or write waits on a pipe or terminal,
// and fails as any other failed run does.
#pragma once
#include <memory>
#include <stdexcept>

// A sort stopped by a signal; what() is the line printed for it.
class SortInterrupted : public std::runtime_error {
public:
    explicit SortInterrupted(int signal);
    const int signal;  // the signal's number
};

// Handlers for SIGINT, SIGTERM and SIGHUP (unless it is ignored) that
// only note the signal, installed while the object lives. They are
// installed without SA_RESTART, so a read or write waiting when the signal
// comes returns EINTR and the run looks at the note at once; one that
// began to wait just after the run looked is woken by SIGALRM, which comes
// every second once a signal is noted. The previous handlers (SIGALRM's
// too) come back at the end.
class SortSignals {
public:
    SortSignals();
    ~SortSignals();
    SortSignals(const SortSignals&) = delete;
    SortSignals& operator=(const SortSignals&) = delete;

private:
    struct Saved;
    std::unique_ptr<Saved> saved;  // the handlers to give back
};

// Notes a signal that came before the sort began (during the start-up
// script, say): the sort then stops before it touches anything.
void sort_note_signal(int signal);
// The signal noted; 0 when none.
int sort_signal_noted();
// Throws SortInterrupted when a signal has been noted.
void sort_stop_if_signalled();
// Ends the process as that signal would have (its default action), once
// the run has tidied up: the caller sees the signal in the status.
[[noreturn]] void sort_end_by_signal(int signal);
