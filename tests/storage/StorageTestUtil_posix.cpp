#include "storage/StorageTestUtil.h"

#include <QDir>
#include <QFile>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace corvane::test {

bool localTimeFromTz(std::int64_t seconds, QDateTime *local)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (!::localtime_r(&t, &parts))
        return false;
    *local = QDateTime(QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
                       QTime(parts.tm_hour, parts.tm_min, parts.tm_sec), Qt::OffsetFromUTC, int(parts.tm_gmtoff));
    return true;
}

bool hasFileModes()
{
    return true;
}

int fileMode(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 0777);
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

void closeSocket(int socket)
{
    ::close(socket);
}

bool makeFifo(const QString &path)
{
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

struct FileSizeLimit::Saved {
    rlimit limit{};
    void (*handler)(int) = nullptr;
};

FileSizeLimit::FileSizeLimit(std::int64_t bytes)
    : m_saved(std::make_unique<Saved>())
{
    ::getrlimit(RLIMIT_FSIZE, &m_saved->limit);
    m_saved->handler = std::signal(SIGXFSZ, SIG_IGN); // EFBIG instead of a killed process
    rlimit limit = m_saved->limit;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    m_active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

FileSizeLimit::~FileSizeLimit()
{
    ::setrlimit(RLIMIT_FSIZE, &m_saved->limit);
    std::signal(SIGXFSZ, m_saved->handler);
}

bool mountSmallDisk(const QString &folder, int kilobytes, QString *why)
{
    const QByteArray path = QFile::encodeName(folder);
    const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k,mode=0700";
    if (::geteuid() != 0) {
        *why = QStringLiteral("not root");
        return false;
    }
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || ::mount("tmpfs", path.constData(), "tmpfs", 0, options.constData()) != 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

// The old file held open keeps its inode, so a replacement shows as a
// held file with no name left.
ReplacementWatch::ReplacementWatch(const QString &path)
    : m_path(path)
    , m_held(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC))
{
}

ReplacementWatch::~ReplacementWatch()
{
    if (m_held >= 0)
        ::close(static_cast<int>(m_held));
}

bool ReplacementWatch::replaced()
{
    struct stat status {};
    if (m_held < 0 || ::fstat(static_cast<int>(m_held), &status) != 0 || status.st_nlink > 0)
        return false;
    ::close(static_cast<int>(m_held));
    m_held = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
    return true;
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
