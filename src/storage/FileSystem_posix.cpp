#include "storage/FileSystem.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QScopeGuard>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace corvane {

namespace {

// Readable by every account, writable by ours: viewers and monitoring tools may
// run as other users, the log holds no credentials, and the umask still lets
// the administrator narrow it.
constexpr mode_t kPublicFileMode = 0644;

int fdOf(std::intptr_t handle)
{
    return static_cast<int>(handle);
}

// Makes a rename or a new file in the folder durable; best effort.
void syncFolder(const QString &folder)
{
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

} // namespace

bool AppendFile::open(const QString &path, bool create)
{
    close();
    const QByteArray name = QFile::encodeName(path);
    const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0);
    int fd = -1;
    do {
        fd = ::open(name.constData(), flags, kPublicFileMode);
    } while (fd < 0 && errno == EINTR);
    m_folderMissing = fd < 0 && create && errno == ENOENT;
    m_handle = fd;
    return fd >= 0;
}

std::int64_t AppendFile::write(const char *data, std::int64_t size)
{
    ssize_t written = -1;
    do {
        written = ::write(fdOf(m_handle), data, static_cast<size_t>(size));
    } while (written < 0 && errno == EINTR);
    if (written == 0 && size > 0)
        errno = ENOSPC;
    return written;
}

void AppendFile::dropTail(std::int64_t count)
{
    // O_APPEND left the offset just past our part, whatever others appended
    // before it.
    const off_t end = ::lseek(fdOf(m_handle), 0, SEEK_CUR);
    if (end < count)
        return;
    int rc = -1;
    do {
        rc = ::ftruncate(fdOf(m_handle), end - count);
    } while (rc != 0 && errno == EINTR);
}

bool AppendFile::syncData()
{
    return ::fdatasync(fdOf(m_handle)) == 0;
}

bool AppendFile::stillLinked() const
{
    struct stat status {};
    return ::fstat(fdOf(m_handle), &status) == 0 && status.st_nlink > 0;
}

void AppendFile::close()
{
    if (m_handle != Closed)
        ::close(fdOf(m_handle));
    m_handle = Closed;
}

namespace fs {

Result replaceFile(const QString &path, const QByteArray &bytes, Permissions permissions)
{
    const bool existed = QFileInfo::exists(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return Result::failure(file.errorString());
    // QSaveFile already gives an existing file's mode to the replacement.
    if ((permissions == Permissions::OwnerOnly || !existed) && ::fchmod(file.handle(), S_IRUSR | S_IWUSR) != 0)
        return Result::failure(lastErrorText());
    if (file.write(bytes) != bytes.size() || !file.flush())
        return Result::failure(file.errorString());
    // On disk before the rename, so a power cut leaves the old file or the new.
    if (::fsync(file.handle()) != 0)
        return Result::failure(lastErrorText());
    if (!file.commit())
        return Result::failure(file.errorString());
    syncFolder(QFileInfo(path).canonicalPath());
    return Result::success();
}

Result createPrivateFolder(const QString &path)
{
    if (::mkdir(QFile::encodeName(path).constData(), S_IRWXU) != 0 && errno != EEXIST)
        return Result::failure(lastErrorText());
    return Result::success();
}

Result readRegularFile(const QString &path, std::int64_t maxSize, QByteArray *bytes, bool *missing)
{
    *missing = false;
    bytes->clear();
    // Without O_NONBLOCK a FIFO in the file's place would hold the open, and
    // with it the whole start, until some writer came along.
    const QByteArray name = QFile::encodeName(path);
    int fd = -1;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *missing = errno == ENOENT || errno == ENOTDIR;
        return *missing ? Result::success() : Result::failure(lastErrorText());
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });

    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return Result::failure(lastErrorText());
    if (!S_ISREG(info.st_mode))
        return Result::failure(QStringLiteral("it is not a regular file"));
    const auto tooLarge = [&] { return Result::failure(QStringLiteral("it is larger than %1 bytes").arg(maxSize)); };
    if (info.st_size > maxSize)
        return tooLarge();

    // Room for one byte more than fstat saw, to notice a file that grew since;
    // it may grow up to one byte past the limit.
    QByteArray data(qsizetype(info.st_size) + 1, Qt::Uninitialized);
    qsizetype filled = 0;
    for (;;) {
        if (filled == data.size()) {
            if (filled > maxSize)
                break;
            data.resize(qMin<qsizetype>(2 * data.size(), maxSize + 1));
        }
        const ssize_t got = ::read(fd, data.data() + filled, static_cast<size_t>(data.size() - filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Result::failure(lastErrorText());
        if (got == 0)
            break;
        filled += got;
    }
    if (filled > maxSize)
        return tooLarge();
    data.truncate(filled);
    *bytes = std::move(data);
    return Result::success();
}

QString lastErrorText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace fs

} // namespace corvane
