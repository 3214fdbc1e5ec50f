#pragma once

#include "check/CheckProbe.h"
#include "check/SmtpProbe.h"
#include "mail/CaFileCache.h"
#include "mail/MailOptions.h"
#include "mail/ServerEndpoint.h"
#include "storage/Settings.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

namespace corvane {

struct AccountCheckOptions {
    QString folder;        // where the service finds Corvane.ini
    int list = 0;          // 1..8: that list only; 0: every list with addresses
    MailTimeouts timeouts; // the mail component's
    QString caFile;        // trusted authorities besides the system's store; stands in for CA_File
};

// What the stages have found, in the order they find it: each stage reads
// what the ones before it left here and adds its own.
struct CheckContext {
    explicit CheckContext(AccountCheckOptions checkOptions) : options(std::move(checkOptions)) {}

    AccountCheckOptions options;
    Settings settings;             // Settings: as the service loads them, with --ca-file as CA_File
    ServerEndpoint endpoint;       // Server
    CaFileCache caFiles;           // the service's reading of CA_File, for the stages and the probe
    bool caFileJudged = false;     // by the first stage that needs the authorities
    QByteArray signIn;             // Token: the token source's name for the OAuth sign-in
    QByteArray bearerToken;        // Token: the login uses it, never a password
    CheckProbe probe;              // once the Token stage has passed
    QList<QHostAddress> addresses; // Resolve
    QHostAddress connectedAddress; // Connect
    SmtpProbe::Trace trace;        // Connect: the session that reached the server
    bool sessionRan = false;
};

} // namespace corvane
