#pragma once

#include "check/CertificateFindings.h"
#include "check/CheckReport.h"
#include "check/SmtpProbe.h"
#include "mail/MailOptions.h"
#include "mail/ServerEndpoint.h"
#include "oauth/OAuthConfig.h"
#include "storage/Settings.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

struct AccountCheckOptions {
    QString folder;             // where the service finds Corvane.ini
    int list = 0;               // 1..8: that list only; 0: every list with addresses
    MailTimeouts timeouts;      // the mail component's
    QString caFile;             // trusted authorities besides the system's store; overrides CA_File
    QString heloName;           // our EHLO name; empty: this machine's
};

// Walks the account in Corvane.ini through an SMTP session of the mail
// library's own client, the one the service sends with, and judges it stage
// by stage; the session stops before DATA: no message is ever sent. Needs an
// application object for the name lookup and the sockets, but no display.
class AccountCheck {
public:
    explicit AccountCheck(AccountCheckOptions options);
    ~AccountCheck();

    CheckReport run();

private:
    using Clock = SmtpProbe::Clock;

    bool checkSettings();
    bool checkServer();
    bool checkToken();
    bool checkPop3();
    bool checkResolve();
    bool checkConnect();
    bool checkGreeting();
    bool checkTls();
    bool checkLogin();
    bool checkSender();
    void checkRecipients();
    void checkClose();

    bool authorities(CheckStageResult &result);
    OAuthConfig oauthConfig(OAuthProvider provider) const;
    SmtpAccount smtpAccount() const;
    SmtpMessage probeMessage() const;
    void ehlo(const SmtpProbe::Step &step, CheckStageResult &result) const;
    CertificateFindings certificate() const;
    bool handshakeFailed(CheckStageResult &result, const CertificateFindings &found);
    const SmtpCapabilities &lastCapabilities() const;
    QString sessionFailure();
    QStringList recipientsToCheck(QStringList *notes) const;

    void begin();
    void reachedAt(Clock::time_point at) { m_stageEnd = at; }
    void reachedAtEnd() { m_stageEnd = m_trace.finishedAt; }
    void finish(CheckStageResult result);
    bool pass(CheckStageResult result);
    bool fail(CheckStageResult result, const QString &summary, const QString &advice);
    void skipRest(CheckStage from, CheckStage to);

    AccountCheckOptions m_options;
    Settings m_settings;
    ServerEndpoint m_endpoint;
    QList<QHostAddress> m_addresses;
    QHostAddress m_connectedAddress;
    QList<QSslCertificate> m_authorities;
    bool m_authoritiesRead = false;  // by the first stage that needs them
    QByteArray m_bearerToken;        // from the Token stage: the login uses it, never a password
    QStringList m_recipients;        // what the service would send to, in list order
    QStringList m_recipientNotes;    // what it leaves out, and why
    SmtpProbe::Trace m_trace;        // the session that reached the server
    bool m_sessionRan = false;
    Clock::time_point m_stageStart;  // the end of the stage before
    std::optional<Clock::time_point> m_stageEnd;
    CheckReport m_report;
};

} // namespace corvane
