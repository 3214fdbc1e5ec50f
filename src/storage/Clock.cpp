#include "storage/Clock.h"

namespace corvane {

Clock systemClock()
{
    return [] { return QDateTime::currentDateTime(); };
}

} // namespace corvane
