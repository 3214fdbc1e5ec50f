#pragma once

#include "check/CheckReport.h"
#include "mail/MailOptions.h"
#include "mail/ServerEndpoint.h"
#include "storage/Settings.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace corvane {

class SmtpDialogue;

struct AccountCheckOptions {
    QString folder;             // where the service finds Corvane.ini
    int list = 0;               // 1..8: that list only; 0: every list with addresses
    MailTimeouts timeouts;      // the mail component's
    QString caFile;             // trusted authorities instead of the system's store
    QString heloName;           // our EHLO name; empty: this machine's
};

// Walks the account in Corvane.ini through an SMTP session step by step and
// stops before DATA: no message is ever sent. Needs an application object for
// the name lookup, but no display.
class AccountCheck {
public:
    explicit AccountCheck(AccountCheckOptions options);
    ~AccountCheck();

    CheckReport run();

private:
    struct Capabilities {
        QStringList lines;
        bool startTls = false;
        bool pipelining = false;
        qint64 sizeLimit = -1; // -1: not announced, 0: announced without a limit
        QStringList authMechanisms;
    };

    bool checkSettings();
    bool checkServer();
    bool checkPop3();
    bool checkResolve();
    bool checkConnect();
    bool checkGreeting();
    bool checkTls();
    bool checkLogin();
    bool checkSender();
    void checkRecipients();
    void checkClose();

    bool ehlo(CheckStageResult &result);
    void describeCertificate(CheckStageResult &result) const;
    QStringList recipientsToCheck(CheckStageResult &result) const;

    void begin();
    void finish(CheckStageResult result);
    bool pass(CheckStageResult result);
    bool fail(CheckStageResult result, const QString &summary, const QString &advice);
    void skipRest(CheckStage from, CheckStage to);

    AccountCheckOptions m_options;
    Settings m_settings;
    ServerEndpoint m_endpoint;
    QList<QHostAddress> m_addresses;
    QHostAddress m_connectedAddress;
    Capabilities m_capabilities;
    std::unique_ptr<SmtpDialogue> m_dialogue;
    bool m_inTransaction = false;
    QElapsedTimer m_stageTimer;
    CheckReport m_report;
};

} // namespace corvane
