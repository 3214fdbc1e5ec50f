#include "app/Display.h"

#include <windows.h>

namespace corvane {

bool displayAvailable()
{
    // Services run in a window station nobody sees.
    USEROBJECTFLAGS flags{};
    const HWINSTA station = GetProcessWindowStation();
    return station && GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr)
        && (flags.dwFlags & WSF_VISIBLE) != 0;
}

} // namespace corvane
