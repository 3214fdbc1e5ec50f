#pragma once

namespace corvane {

// Whether this process has a screen to show its window on: an X11 or Wayland
// display on Linux, a visible window station on Windows (a service has none).
// Display_unix.cpp and Display_win.cpp.
bool displayAvailable();

} // namespace corvane
