#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

namespace corvane::test {

QByteArray readBytes(const QString &path);
void writeBytes(const QString &path, const QByteArray &bytes);
QStringList folderEntries(const QString &folder);

// What the system's own file rules allow a test to do. StorageTestUtil_posix.cpp
// has all of it; on Windows (StorageTestUtil_win.cpp, under Wine) the
// POSIX-only tools report that they cannot, and the tests that need them skip.

// The local time the C library gives for `seconds` since the epoch, in the
// zone TZ names; false where TZ does not set the zone (Windows reads it from
// its own settings).
bool localTimeFromTz(std::int64_t seconds, QDateTime *local);

// Whether fileMode() tells anything: Windows keeps access lists instead
// (tested in tests/windows).
bool hasFileModes();
// Permission bits (0777 part) of a file, or -1 when it cannot be examined.
int fileMode(const QString &path);

// Puts a listening Unix socket at `path`: a name that exists, is not a folder,
// and cannot be opened for reading, even by root. Returns the socket or -1.
int bindUnixSocket(const QString &path);
void closeSocket(int socket);
// A FIFO at `path`; false where there are none.
bool makeFifo(const QString &path);

// Writes past `bytes` fail with EFBIG for as long as the object lives: a full disk
// that even root cannot write through. active() is false where that cannot be done.
class FileSizeLimit {
public:
    explicit FileSizeLimit(std::int64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;
    bool active() const { return m_active; }

private:
    struct Saved;
    std::unique_ptr<Saved> m_saved;
    bool m_active = false;
};

// A small tmpfs of our own at `folder`, in a mount namespace of this process
// alone (as root), so filling it fills nothing else.
bool mountSmallDisk(const QString &folder, int kilobytes, QString *why);

// Notices each time the file at `path` is replaced by another (a rewrite
// through a temporary file and a rename), without keeping it from being replaced.
class ReplacementWatch {
public:
    explicit ReplacementWatch(const QString &path);
    ~ReplacementWatch();
    ReplacementWatch(const ReplacementWatch &) = delete;
    ReplacementWatch &operator=(const ReplacementWatch &) = delete;
    // Whether the file was replaced since the last call (or since made).
    bool replaced();

private:
    QString m_path;
    std::int64_t m_held = -1;
};

// Makes a folder read-only for this process. Root ignores permission bits, so for
// root the folder becomes a read-only bind mount inside a mount namespace of this
// process alone. engage() says whether the folder really refuses new files.
class ReadOnlyFolder {
public:
    ReadOnlyFolder() = default;
    ~ReadOnlyFolder();
    ReadOnlyFolder(const ReadOnlyFolder &) = delete;
    ReadOnlyFolder &operator=(const ReadOnlyFolder &) = delete;

    bool engage(const QString &folder, QString *why);

private:
    QString m_folder;
    bool m_mounted = false;
    bool m_chmodded = false;
};

} // namespace corvane::test
