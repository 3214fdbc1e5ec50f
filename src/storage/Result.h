#pragma once

#include <QString>

#include <utility>

namespace corvane {

// How every library reports a failure: whether the step succeeded and, when it
// did not, a sentence for the user or the journal saying why. Nothing is
// thrown across library borders and no failure is left for the caller to guess.
struct [[nodiscard]] Result {
    bool ok = true;
    QString error;

    static Result success() { return {}; }
    static Result failure(QString why) { return {false, std::move(why)}; }
    explicit operator bool() const { return ok; }
};

} // namespace corvane
