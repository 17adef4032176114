// The process-wide text budget: the bytes that every template run holds
// together (its forms, its input, its open calls, its output block, a reply
// it is receiving) and the answers that finished runs left waiting to be
// sent. A run that would take the total past the limit fails; the process
// never holds more text than the limit because of its clients, whatever
// each run's own limit allows.
//
// Text a client sent (raw requests, "#[" paths) and their answers hold
// together at most half of the limit (Share::Clients); the other half is
// always left to the operator's pages, however many clients fill theirs.
// Pages may use all that the clients leave free.
//
// Each holder takes bytes before it holds them and gives back exactly what
// it took, from the same share, when it lets them go, so the counts return
// to zero when nothing is held.
#pragma once
#include <cstddef>

namespace VekLanguage {

// Default limit: four times the largest text one run may hold, so a few
// large pages still fit side by side.
constexpr std::size_t DefaultTextBudget = std::size_t(1) << 30;

class TextBudget {
public:
    // Who holds the bytes: the operator's pages (and the start-up script),
    // or text a client sent.
    enum class Share { Pages, Clients };

    static std::size_t limit() { return limit_; }
    static void setLimit(std::size_t bytes) { limit_ = bytes; }
    // What client text may hold together: half of the limit.
    static std::size_t clientLimit() { return limit_ / 2; }
    // Bytes held now by all holders together.
    static std::size_t used() { return used_; }
    // Bytes held now by client text.
    static std::size_t clientUsed() { return clientUsed_; }
    // Takes bytes when the total (and for Clients the clients' part) stays
    // within its limit; false (nothing taken) when it would pass it.
    static bool take(std::size_t bytes, Share share = Share::Pages);
    // Takes bytes even past the limits: for bytes that move from one holder
    // to another, which gives its share back right after.
    static void takeAnyway(std::size_t bytes, Share share = Share::Pages);
    // Gives back bytes taken before from that share.
    static void give(std::size_t bytes, Share share = Share::Pages);

private:
    static std::size_t limit_;
    static std::size_t used_;
    static std::size_t clientUsed_;
};

}  // namespace VekLanguage
