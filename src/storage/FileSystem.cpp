#include "storage/FileSystem.h"

#include <utility>

// What both systems share; the rest is in FileSystem_posix.cpp and
// FileSystem_win.cpp.

namespace corvane {

AppendFile::AppendFile(AppendFile &&other) noexcept
    : m_handle(std::exchange(other.m_handle, Closed))
    , m_folderMissing(other.m_folderMissing)
{
}

AppendFile &AppendFile::operator=(AppendFile &&other) noexcept
{
    if (this != &other) {
        close();
        m_handle = std::exchange(other.m_handle, Closed);
        m_folderMissing = other.m_folderMissing;
    }
    return *this;
}

} // namespace corvane
