#include "storage/StorageTestUtil.h"

#include <QDir>

#include <windows.h>

namespace corvane::test {

bool localTimeFromTz(std::int64_t, QDateTime *)
{
    return false;
}

bool hasFileModes()
{
    return false;
}

int fileMode(const QString &)
{
    return -1;
}

int bindUnixSocket(const QString &)
{
    return -1;
}

void closeSocket(int) {}

bool makeFifo(const QString &)
{
    return false;
}

struct FileSizeLimit::Saved {};

FileSizeLimit::FileSizeLimit(std::int64_t) {}

FileSizeLimit::~FileSizeLimit() = default;

bool mountSmallDisk(const QString &, int, QString *why)
{
    *why = QStringLiteral("Windows has no file system to mount for a test");
    return false;
}

namespace {

// The file's identity on its volume; a replacement is another file.
std::int64_t fileIndex(const QString &path)
{
    const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    return ok ? (std::int64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow) : -1;
}

} // namespace

// Holding the file open would keep it from being replaced on Windows: the
// watch compares its identity instead.
ReplacementWatch::ReplacementWatch(const QString &path)
    : m_path(path)
    , m_held(fileIndex(path))
{
}

ReplacementWatch::~ReplacementWatch() = default;

bool ReplacementWatch::replaced()
{
    const std::int64_t now = fileIndex(m_path);
    if (now == m_held)
        return false;
    m_held = now;
    return true;
}

bool ReadOnlyFolder::engage(const QString &folder, QString *why)
{
    m_folder = folder;
    *why = QStringLiteral("Wine does not enforce access lists, and nothing else makes a folder read-only for "
                          "this process");
    return false;
}

ReadOnlyFolder::~ReadOnlyFolder() = default;

} // namespace corvane::test
