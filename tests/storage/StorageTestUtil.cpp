#include "storage/StorageTestUtil.h"

#include <QDir>
#include <QFile>

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvane::test {

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot prepare %s", qPrintable(path));
}

int fileMode(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 0777);
}

QStringList folderEntries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

int bindUnixSocket(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address {};
    if (name.size() >= static_cast<qsizetype>(sizeof address.sun_path))
        return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes)
{
    ::getrlimit(RLIMIT_FSIZE, &m_saved);
    m_savedHandler = std::signal(SIGXFSZ, SIG_IGN); // EFBIG instead of a killed process
    rlimit limit = m_saved;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit()
{
    ::setrlimit(RLIMIT_FSIZE, &m_saved);
    std::signal(SIGXFSZ, m_savedHandler);
}

namespace {

bool canCreateFileIn(const QString &folder)
{
    QFile probe(QDir(folder).filePath(QStringLiteral(".probe")));
    if (!probe.open(QIODevice::WriteOnly))
        return false;
    probe.close();
    probe.remove();
    return true;
}

} // namespace

bool ReadOnlyFolder::engage(const QString &folder, QString *why)
{
    m_folder = folder;
    const QByteArray path = QFile::encodeName(folder);
    if (::geteuid() == 0) {
        // MS_PRIVATE first, so nothing of this propagates back to the machine.
        if (::unshare(CLONE_NEWNS) != 0
            || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0) {
            *why = QStringLiteral("running as root without a private mount namespace: %1")
                       .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        m_mounted = true;
        if (::mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
            *why = QStringLiteral("read-only remount refused: %1")
                       .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    } else {
        m_chmodded = ::chmod(path.constData(), 0555) == 0;
    }
    if (canCreateFileIn(folder)) {
        *why = QStringLiteral("this process can still write to a read-only folder");
        return false;
    }
    return true;
}

ReadOnlyFolder::~ReadOnlyFolder()
{
    const QByteArray path = QFile::encodeName(m_folder);
    if (m_mounted)
        ::umount2(path.constData(), MNT_DETACH);
    if (m_chmodded)
        ::chmod(path.constData(), 0755);
}

} // namespace corvane::test
