#pragma once

#include "storage/Result.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace corvane {

// The file operations whose promises each system keeps in its own way: data on
// disk (fdatasync, FlushFileBuffers), a file replaced in one step (rename,
// MoveFileEx), files for the owner only (modes, ACLs). FileSystem_posix.cpp
// and FileSystem_win.cpp hold the two ways; CMake builds one.

// A file opened for appending, as the activity log and the queue journal keep
// theirs: every write lands at the end, whatever others appended meanwhile,
// and other programs may read, rename or delete the file while it is open.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile() { close(); }
    AppendFile(AppendFile &&other) noexcept;
    AppendFile &operator=(AppendFile &&other) noexcept;
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    // Opens `path`; with `create` a missing file is made, readable by every
    // account (a log holds no secrets; the folder decides who reaches it).
    // On failure the file stays closed and folderMissing() tells whether the
    // folder was not there.
    bool open(const QString &path, bool create);
    bool isOpen() const { return m_handle != Closed; }
    bool folderMissing() const { return m_folderMissing; }

    // One system call; the bytes written, or -1.
    std::int64_t write(const char *data, std::int64_t size);
    // Cuts the last `count` bytes off again: a write the disk took only part
    // of must not leave half an entry for the next one to continue.
    void dropTail(std::int64_t count);
    // The data written so far is on disk.
    bool syncData();
    // False once the file has been deleted: writing on would lose everything.
    bool stillLinked() const;
    void close();

private:
    static constexpr std::intptr_t Closed = -1;
    std::intptr_t m_handle = Closed;
    bool m_folderMissing = false;
};

namespace fs {

// What a new file written by replaceFile gets.
enum class Permissions {
    OwnerOnly,       // always for the account the program runs as (and, on Windows, SYSTEM and Administrators)
    KeepOrOwnerOnly, // an existing file's own, otherwise OwnerOnly
};

// Writes `bytes` as the whole of `path` in one step: a temporary file beside
// it, on disk before it takes the old file's place, so a crash or power cut
// leaves the old file or the new one. Its permissions are set as it is
// created, never afterwards.
Result replaceFile(const QString &path, const QByteArray &bytes, Permissions permissions);

// Creates the folder (one level) for the owner only, as above; files made in
// it later are the owner's too. An existing folder is left as it is.
Result createPrivateFolder(const QString &path);

// Reads a whole regular file of at most `maxSize` bytes. A missing file
// sets `*missing` and succeeds; anything that is not a regular file (a FIFO
// would block the reader for ever), or is larger, is refused with the reason.
Result readRegularFile(const QString &path, std::int64_t maxSize, QByteArray *bytes, bool *missing);

// The system's reason for the last failure of a call on this thread.
QString lastErrorText();

} // namespace fs

} // namespace corvane
