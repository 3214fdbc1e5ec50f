#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/resource.h>

#include <csignal>

namespace corvane::test {

QByteArray readBytes(const QString &path);
void writeBytes(const QString &path, const QByteArray &bytes);
// Permission bits (0777 part) of a file, or -1 when it cannot be examined.
int fileMode(const QString &path);
QStringList folderEntries(const QString &folder);

// Puts a listening Unix socket at `path`: a name that exists, is not a folder,
// and cannot be opened for reading, even by root. Returns the socket or -1.
int bindUnixSocket(const QString &path);

// Writes past `bytes` fail with EFBIG for as long as the object lives: a full disk
// that even root cannot write through.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_saved{};
    void (*m_savedHandler)(int) = nullptr;
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
