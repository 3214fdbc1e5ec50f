#pragma once

#include <QDateTime>

#include <functional>

namespace corvane {

// Everything that reads the wall clock takes one of these, so tests can put the
// program just before midnight without waiting for it.
using Clock = std::function<QDateTime()>;

Clock systemClock();

} // namespace corvane
