#include "storage/FileSystem.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <utility>

namespace corvane {

namespace {

HANDLE handleOf(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// The account this process runs as, in SDDL ("S-1-5-19" for LocalService).
QString ownAccountSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    const auto closeToken = qScopeGuard([token] { CloseHandle(token); });
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    QByteArray buffer(static_cast<qsizetype>(size), Qt::Uninitialized);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
        return {};
    wchar_t *text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &text))
        return {};
    const QString sid = QString::fromWCharArray(text);
    LocalFree(text);
    return sid;
}

// Full control for SYSTEM, the Administrators and this account, nobody else,
// and nothing inherited from the folder above. A folder hands the same on to
// what is made in it.
class PrivateSecurity {
public:
    explicit PrivateSecurity(bool folder)
    {
        const QString inherit = folder ? QStringLiteral("OICI") : QString();
        QString sddl = QStringLiteral("D:P(A;%1;FA;;;SY)(A;%1;FA;;;BA)").arg(inherit);
        if (const QString own = ownAccountSid(); !own.isEmpty())
            sddl += QStringLiteral("(A;%1;FA;;;%2)").arg(inherit, own);
        ConvertStringSecurityDescriptorToSecurityDescriptorW(reinterpret_cast<const wchar_t *>(sddl.utf16()),
                                                             SDDL_REVISION_1, &m_descriptor, nullptr);
        m_attributes.nLength = sizeof m_attributes;
        m_attributes.lpSecurityDescriptor = m_descriptor;
    }
    ~PrivateSecurity() { LocalFree(m_descriptor); }
    PrivateSecurity(const PrivateSecurity &) = delete;
    PrivateSecurity &operator=(const PrivateSecurity &) = delete;

    bool valid() const { return m_descriptor != nullptr; }
    SECURITY_ATTRIBUTES *attributes() { return &m_attributes; }

private:
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
    SECURITY_ATTRIBUTES m_attributes{};
};

// An existing file's access list, to give its replacement.
class CopiedSecurity {
public:
    explicit CopiedSecurity(const std::wstring &path)
    {
        PACL dacl = nullptr;
        if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  &dacl, nullptr, &m_original) != ERROR_SUCCESS)
            return;
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(m_original, &control, &revision);
        if (!InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION)
            || !SetSecurityDescriptorDacl(&m_descriptor, dacl != nullptr, dacl, FALSE))
            return;
        // A protected list stays protected, so the folder's cannot widen it.
        SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, control & SE_DACL_PROTECTED);
        m_attributes.nLength = sizeof m_attributes;
        m_attributes.lpSecurityDescriptor = &m_descriptor;
        m_valid = true;
    }
    ~CopiedSecurity() { LocalFree(m_original); }
    CopiedSecurity(const CopiedSecurity &) = delete;
    CopiedSecurity &operator=(const CopiedSecurity &) = delete;

    bool valid() const { return m_valid; }
    SECURITY_ATTRIBUTES *attributes() { return &m_attributes; }

private:
    PSECURITY_DESCRIPTOR m_original = nullptr;
    SECURITY_DESCRIPTOR m_descriptor{};
    SECURITY_ATTRIBUTES m_attributes{};
    bool m_valid = false;
};

Result writeAll(HANDLE file, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(qMin<qint64>(left, 1 << 30));
        if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0)
            return Result::failure(fs::lastErrorText());
        data += written;
        left -= written;
    }
    return Result::success();
}

} // namespace

bool AppendFile::open(const QString &path, bool create)
{
    close();
    // FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every write at
    // the end, as O_APPEND does. Shared for reading, writing and deleting, so
    // viewers, other writers and a clean-up are never locked out.
    const HANDLE file = CreateFileW(nativePath(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        m_folderMissing = create && GetLastError() == ERROR_PATH_NOT_FOUND;
        return false;
    }
    m_folderMissing = false;
    m_handle = reinterpret_cast<std::intptr_t>(file);
    return true;
}

std::int64_t AppendFile::write(const char *data, std::int64_t size)
{
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(qMin<std::int64_t>(size, 1 << 30));
    if (!WriteFile(handleOf(m_handle), data, chunk, &written, nullptr))
        return -1;
    if (written == 0 && size > 0)
        SetLastError(ERROR_DISK_FULL);
    return written;
}

void AppendFile::dropTail(std::int64_t count)
{
    // Needs write access to the data, which the appending handle lacks.
    const HANDLE file = ReOpenFile(handleOf(m_handle), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (file == INVALID_HANDLE_VALUE)
        return;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart >= count) {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = size.QuadPart - count;
        SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end);
    }
    CloseHandle(file);
}

bool AppendFile::syncData()
{
    return FlushFileBuffers(handleOf(m_handle)) != 0;
}

bool AppendFile::stillLinked() const
{
    // Deleted while we hold it: Windows keeps the name until the last handle
    // closes but marks it pending; a file system that unlinks at once
    // (Wine's) leaves no link.
    FILE_STANDARD_INFO info{};
    return GetFileInformationByHandleEx(handleOf(m_handle), FileStandardInfo, &info, sizeof info)
        && !info.DeletePending && info.NumberOfLinks > 0;
}

void AppendFile::close()
{
    if (m_handle != Closed)
        CloseHandle(handleOf(m_handle));
    m_handle = Closed;
}

namespace fs {

Result replaceFile(const QString &path, const QByteArray &bytes, Permissions permissions)
{
    const std::wstring target = nativePath(path);
    const std::wstring temporary =
        nativePath(path + QStringLiteral(".%1.tmp").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
    const bool existed = GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES;
    PrivateSecurity own(false);
    CopiedSecurity kept(target);
    SECURITY_ATTRIBUTES *security = nullptr;
    if (permissions == Permissions::KeepOrOwnerOnly && existed && kept.valid())
        security = kept.attributes();
    else if (own.valid())
        security = own.attributes();
    else
        return Result::failure(QStringLiteral("cannot make its access list: %1").arg(lastErrorText()));

    // The access list comes with the file's creation: there is no moment in
    // which others could open it.
    const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, security, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Result::failure(lastErrorText());
    auto removeTemporary = qScopeGuard([&] { DeleteFileW(temporary.c_str()); });
    Result written = writeAll(file, bytes);
    // On disk before it takes the old file's place.
    if (written && !FlushFileBuffers(file))
        written = Result::failure(lastErrorText());
    CloseHandle(file);
    if (!written)
        return written;
    if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return Result::failure(lastErrorText());
    removeTemporary.dismiss();
    return Result::success();
}

Result createPrivateFolder(const QString &path)
{
    PrivateSecurity own(true);
    if (!own.valid())
        return Result::failure(QStringLiteral("cannot make its access list: %1").arg(lastErrorText()));
    if (!CreateDirectoryW(nativePath(path).c_str(), own.attributes()) && GetLastError() != ERROR_ALREADY_EXISTS)
        return Result::failure(lastErrorText());
    return Result::success();
}

Result readRegularFile(const QString &path, std::int64_t maxSize, QByteArray *bytes, bool *missing)
{
    *missing = false;
    bytes->clear();
    const HANDLE file = CreateFileW(nativePath(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return *missing ? Result::success() : Result::failure(lastErrorText());
    }
    const auto closeFile = qScopeGuard([file] { CloseHandle(file); });
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return Result::failure(lastErrorText());
    if (GetFileType(file) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return Result::failure(QStringLiteral("it is not a regular file"));
    const auto tooLarge = [&] { return Result::failure(QStringLiteral("it is larger than %1 bytes").arg(maxSize)); };
    const std::int64_t size = (std::int64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size > maxSize)
        return tooLarge();
    // One byte more than the size seen, to notice a file that grew since.
    QByteArray data(qsizetype(maxSize) + 1, Qt::Uninitialized);
    qsizetype filled = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, data.data() + filled, static_cast<DWORD>(data.size() - filled), &got, nullptr))
            return Result::failure(lastErrorText());
        if (got == 0)
            break;
        filled += got;
        if (filled == data.size())
            return tooLarge();
    }
    data.truncate(filled);
    *bytes = std::move(data);
    return Result::success();
}

QString lastErrorText()
{
    return qt_error_string(static_cast<int>(GetLastError()));
}

} // namespace fs

} // namespace corvane
