#include "app/ServiceControl.h"

#include "app/WindowsServiceNotifier.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QThread>

#include <cstdio>
#include <vector>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

namespace corvane {

namespace {

// LocalService: a least-privilege account with no password of its own; it
// reaches the network as an anonymous user, which an SMTP client needs no more.
const wchar_t kAccount[] = L"NT AUTHORITY\\LocalService";
const wchar_t kAccountSid[] = L"S-1-5-19";
const wchar_t kDescription[] = L"Turns notification datagrams from programs on this machine (UDP port 1095) "
                               L"into e-mail. corvane --status shows how it is doing.";

std::wstring wide(const QString &text)
{
    return text.toStdWString();
}

QString systemMessage(DWORD error)
{
    return qt_error_string(static_cast<int>(error));
}

int fail(const QString &what, DWORD error = GetLastError())
{
    std::fprintf(stderr, "corvane: %s: %s\n", qPrintable(what), qPrintable(systemMessage(error)));
    return 1;
}

struct ScHandle {
    SC_HANDLE handle = nullptr;
    explicit ScHandle(SC_HANDLE h) : handle(h) {}
    ~ScHandle()
    {
        if (handle)
            CloseServiceHandle(handle);
    }
    ScHandle(const ScHandle &) = delete;
    ScHandle &operator=(const ScHandle &) = delete;
    explicit operator bool() const { return handle != nullptr; }
};

// Lets LocalService change what is in the folder (settings, Logs, Spool),
// handed on to what is made there; a settings file already there, whose own
// list is protected, gets the account too.
bool grantServiceAccount(const QString &path, bool folder)
{
    const std::wstring name = wide(QDir::toNativeSeparators(path));
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    PSID sid = nullptr;
    ConvertStringSidToSidW(kAccountSid, &sid);
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = folder ? FILE_ALL_ACCESS : FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = folder ? SUB_CONTAINERS_AND_OBJECTS_INHERIT : NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    PACL updated = nullptr;
    bool ok = SetEntriesInAclW(1, &access, current, &updated) == ERROR_SUCCESS
        && SetNamedSecurityInfoW(const_cast<wchar_t *>(name.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, updated, nullptr) == ERROR_SUCCESS;
    LocalFree(updated);
    LocalFree(sid);
    LocalFree(descriptor);
    return ok;
}

bool waitForState(SC_HANDLE service, DWORD wanted, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    SERVICE_STATUS status{};
    while (QueryServiceStatus(service, &status) && status.dwCurrentState != wanted) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(100);
    }
    return status.dwCurrentState == wanted;
}

const char *stateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continuing";
    case SERVICE_PAUSE_PENDING: return "pausing";
    case SERVICE_PAUSED: return "paused";
    default: return "in an unknown state";
    }
}

} // namespace

int installService(const QString &folder)
{
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("cannot create %1").arg(folder), ERROR_PATH_NOT_FOUND);
    if (!grantServiceAccount(folder, true))
        return fail(QStringLiteral("cannot give the service account access to %1").arg(folder));
    const QString settings = QDir(folder).filePath(QStringLiteral("Corvane.ini"));
    if (QFileInfo::exists(settings) && !grantServiceAccount(settings, false))
        return fail(QStringLiteral("cannot give the service account access to %1").arg(settings));

    const QString command = QStringLiteral("\"%1\" --folder \"%2\"")
                                .arg(QDir::toNativeSeparators(QCoreApplication::applicationFilePath()),
                                     QDir::toNativeSeparators(folder));
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return fail(QStringLiteral("cannot open the Service Control Manager (run as administrator)"));
    const std::wstring name = QString::fromLatin1(WindowsServiceNotifier::ServiceName).toStdWString();
    const std::wstring path = wide(command);
    ScHandle service(CreateServiceW(manager.handle, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                    path.c_str(), nullptr, nullptr, nullptr, kAccount, L""));
    bool updated = false;
    if (!service && GetLastError() == ERROR_SERVICE_EXISTS) {
        // Installed again (an update, another folder): the same service, its new command.
        service.handle = OpenServiceW(manager.handle, name.c_str(), SERVICE_ALL_ACCESS);
        updated = service && ChangeServiceConfigW(service.handle, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                                  SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr);
        if (!updated)
            return fail(QStringLiteral("cannot update the service %1").arg(QString::fromWCharArray(name.c_str())));
    }
    if (!service)
        return fail(QStringLiteral("cannot register the service"));

    SERVICE_DESCRIPTIONW description{const_cast<wchar_t *>(kDescription)};
    ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_DESCRIPTION, &description);
    // Restarted after a crash or a failed start: 5 s, 5 s, then every 30 s;
    // the count starts afresh after a day without failure.
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = 24 * 3600;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
    SERVICE_FAILURE_ACTIONS_FLAG onError{TRUE}; // a start that fails counts as a failure too
    ChangeServiceConfig2W(service.handle, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onError);

    std::printf("%s the service %s (%ls): %s\nStart it with: net start %s\n",
                updated ? "Updated" : "Registered", WindowsServiceNotifier::ServiceName, kAccount,
                qPrintable(command), WindowsServiceNotifier::ServiceName);
    return 0;
}

int uninstallService()
{
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return fail(QStringLiteral("cannot open the Service Control Manager (run as administrator)"));
    const std::wstring name = QString::fromLatin1(WindowsServiceNotifier::ServiceName).toStdWString();
    const ScHandle service(OpenServiceW(manager.handle, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service)
        return fail(QStringLiteral("cannot open the service %1").arg(QLatin1String(WindowsServiceNotifier::ServiceName)));
    SERVICE_STATUS status{};
    if (ControlService(service.handle, SERVICE_CONTROL_STOP, &status))
        waitForState(service.handle, SERVICE_STOPPED, 10000);
    if (!DeleteService(service.handle))
        return fail(QStringLiteral("cannot remove the service"));
    std::printf("Removed the service %s; its settings, logs and queue stay where they are.\n",
                WindowsServiceNotifier::ServiceName);
    return 0;
}

// Exit codes as `systemctl status`: 0 running, 3 not running, 4 not installed.
int printServiceStatus()
{
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return fail(QStringLiteral("cannot open the Service Control Manager"));
    const std::wstring name = QString::fromLatin1(WindowsServiceNotifier::ServiceName).toStdWString();
    const ScHandle service(OpenServiceW(manager.handle, name.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
        std::printf("The service %s is not installed (corvane --install-service).\n",
                    WindowsServiceNotifier::ServiceName);
        return 4;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (!QueryServiceStatusEx(service.handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                              sizeof status, &size))
        return fail(QStringLiteral("cannot query the service"));
    std::printf("%s: %s", WindowsServiceNotifier::ServiceName, stateName(status.dwCurrentState));
    if (status.dwProcessId)
        std::printf(" (process %lu)", static_cast<unsigned long>(status.dwProcessId));
    std::printf("\n");
    if (status.dwCurrentState != SERVICE_RUNNING)
        return 3;
    // The status line the service keeps in its folder, named in its command.
    QByteArray line;
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    const ScHandle config(OpenServiceW(manager.handle, name.c_str(), SERVICE_QUERY_CONFIG));
    if (config && QueryServiceConfigW(config.handle, reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data()),
                                      DWORD(buffer.size()), &needed)) {
        const auto *settings = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
        int count = 0;
        wchar_t **words = CommandLineToArgvW(settings->lpBinaryPathName, &count);
        QString folder = count > 0 ? QFileInfo(QString::fromWCharArray(words[0])).absolutePath() : QString();
        for (int i = 1; i + 1 < count; ++i) {
            if (QString::fromWCharArray(words[i]) == QLatin1String("--folder"))
                folder = QString::fromWCharArray(words[i + 1]);
        }
        LocalFree(words);
        QFile file(QDir(folder).filePath(QLatin1String(WindowsServiceNotifier::StatusFile)));
        if (file.open(QIODevice::ReadOnly))
            line = file.readAll();
    }
    std::printf("Status: %s\n", line.isEmpty() ? "(not written yet)" : line.trimmed().constData());
    return 0;
}

} // namespace corvane
