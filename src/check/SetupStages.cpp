// The stages that need no network: the settings file and the server setting.

#include "check/CheckContext.h"
#include "check/CheckStages.h"
#include "check/StageVerdict.h"
#include "mail/MailAddresses.h"
#include "storage/SettingsStore.h"

#include <QDir>
#include <QFileInfo>

namespace corvane {

namespace {

QString tlsModeText(TlsMode mode)
{
    switch (mode) {
    case TlsMode::Implicit: return QStringLiteral("implicit TLS (TLS from the first byte)");
    case TlsMode::Required: return QStringLiteral("STARTTLS required, the certificate must verify");
    case TlsMode::Opportunistic: break;
    }
    return QStringLiteral("STARTTLS when offered, certificate not verified");
}

QString tlsModeKey(TlsMode mode)
{
    switch (mode) {
    case TlsMode::Implicit: return QStringLiteral("implicit");
    case TlsMode::Required: return QStringLiteral("required");
    case TlsMode::Opportunistic: break;
    }
    return QStringLiteral("opportunistic");
}

} // namespace

bool checkSettings(CheckContext &c, StageVerdict &v)
{
    Settings &settings = c.settings;
    settings.SettingsFilePath = QDir(c.options.folder).filePath(QStringLiteral("Corvane.ini"));
    const QString path = QDir::toNativeSeparators(settings.SettingsFilePath);
    v.result.data.insert(QStringLiteral("path"), path);

    const bool exists = QFileInfo::exists(settings.SettingsFilePath);
    v.result.data.insert(QStringLiteral("found"), exists);
    // Exactly the reading the service does at start-up.
    const Result loaded = LoadAllSettings(settings);
    if (!loaded) {
        return v.fail(loaded.error,
                      QStringLiteral("Give the account that runs Corvane read access to the settings file."));
    }
    // From here on every stage, the token endpoint's and the POP3 server's
    // included, trusts what --ca-file names instead.
    if (!c.options.caFile.isEmpty())
        settings.AccountSettings.CaFile = c.options.caFile;
    v.result.summary = exists ? QStringLiteral("%1 read").arg(path)
                              : QStringLiteral("%1 not found: the defaults are in use").arg(path);
    const AccountSettingsRecord &a = settings.AccountSettings;
    v.result.details << QStringLiteral("Login %1, POP login %2")
                            .arg(a.UseLogin ? QStringLiteral("on") : QStringLiteral("off"),
                                 a.UsePopLogin ? QStringLiteral("on") : QStringLiteral("off"));
    v.result.data.insert(QStringLiteral("login"), a.UseLogin);
    v.result.data.insert(QStringLiteral("popLogin"), a.UsePopLogin);
    v.result.details << (a.DigestSeconds > 0 ? QStringLiteral("Digest_Seconds %1: alarms for a list within %1 s of "
                                                              "its last e-mail go as one digest").arg(a.DigestSeconds)
                                             : QStringLiteral("Digest_Seconds 0: one e-mail per alarm"));
    v.result.data.insert(QStringLiteral("digestSeconds"), a.DigestSeconds);
    return v.pass();
}

bool checkServer(CheckContext &c, StageVerdict &v)
{
    const QString text = c.settings.AccountSettings.SmtpServer;
    v.result.data.insert(QStringLiteral("setting"), mail::settingForDisplay(text));
    // The component's own reading of the setting (MailRequest).
    c.endpoint = ServerEndpoint::parse(text, MailProtocol::Smtp);
    const ServerEndpoint &endpoint = c.endpoint;
    if (!endpoint.valid) {
        const QString advice = text.trimmed().isEmpty()
            ? QStringLiteral("Enter the SMTP server in %1 (SMPT_Server in Corvane.ini), for example "
                             "smtp.example.com:587.").arg(kAccountDialog)
            : QStringLiteral("Write the server as host, host:port, smtp://host:port (STARTTLS) or "
                             "smtps://host:port (TLS from the first byte).");
        return v.fail(QStringLiteral("SMPT_Server \"%1\": %2").arg(mail::settingForDisplay(text), endpoint.problem),
                      advice);
    }
    v.result.summary = QStringLiteral("host %1, port %2, %3")
                           .arg(endpoint.host)
                           .arg(endpoint.port)
                           .arg(tlsModeText(endpoint.tls));
    v.result.data.insert(QStringLiteral("host"), endpoint.host);
    v.result.data.insert(QStringLiteral("port"), endpoint.port);
    v.result.data.insert(QStringLiteral("tls"), tlsModeKey(endpoint.tls));
    return v.pass();
}

} // namespace corvane
