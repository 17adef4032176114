// The process-wide text budget: the bytes that every template run holds
// together (its forms, its input, its open calls, its output block, a reply
// it is receiving) and the answers that finished runs left waiting to be
// sent. A run that would take the total past the limit fails; the process
// never holds more text than the limit because of its clients, whatever
// each run's own limit allows.
//
// Each holder takes bytes before it holds them and gives back exactly what
// it took when it lets them go, so the count returns to zero when nothing
// is held.
#pragma once
#include <cstddef>

namespace VekLanguage {

// Default limit: four times the largest text one run may hold, so a few
// large pages still fit side by side.
constexpr std::size_t DefaultTextBudget = std::size_t(1) << 30;

class TextBudget {
public:
    static std::size_t limit() { return limit_; }
    static void setLimit(std::size_t bytes) { limit_ = bytes; }
    // Bytes held now by all holders together.
    static std::size_t used() { return used_; }
    // Takes bytes when the total stays within the limit; false (nothing
    // taken) when it would pass it.
    static bool take(std::size_t bytes);
    // Takes bytes even past the limit: for bytes that move from one holder
    // to another, which gives its share back right after.
    static void takeAnyway(std::size_t bytes) { used_ += bytes; }
    // Gives back bytes taken before.
    static void give(std::size_t bytes);

private:
    static std::size_t limit_;
    static std::size_t used_;
};

}  // namespace VekLanguage
