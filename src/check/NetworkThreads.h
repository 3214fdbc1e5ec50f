#pragma once

#include <chrono>

namespace corvane {

// Qt's network access manager runs HTTP on a thread of its own. Destroying the
// manager ends that thread, but QThread::wait() returns before the thread has
// gone: it still frees what OpenSSL keeps for it (its random generators, its
// error queue) as it exits. Waits, at most `limit`, until no such thread is
// left, so that the check ends with nothing it started still running (and a
// leak check at the program's end sees nothing half freed). Where the system
// cannot tell, returns at once. NetworkThreads_linux.cpp, _other.cpp.
void awaitNetworkThreadsGone(std::chrono::milliseconds limit);

} // namespace corvane
