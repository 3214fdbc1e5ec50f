#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace corvane {

// What a sign-in may use: a password, or an OAuth bearer token. A token never
// goes out through a password mechanism, nor a password through a token one.
struct SaslCredentials {
    QString userName;
    QString password;
    QByteArray bearerToken;
};

// One SASL mechanism: turns the credentials and the server's challenges into
// the lines of an AUTH exchange. Lines are raw; the session base64-encodes them.
class SaslMechanism {
public:
    virtual ~SaslMechanism() = default;
    virtual QByteArray name() const = 0;
    // Sent with AUTH itself; none: the exchange starts with a challenge.
    virtual std::optional<QByteArray> initialResponse() const = 0;
    // The answer to a 334 challenge (already decoded).
    virtual QByteArray respond(const QByteArray &challenge) = 0;
    bool usesToken() const { return name() == "XOAUTH2" || name() == "OAUTHBEARER"; }

    // The mechanism to use, from what the server offers (upper case) and what
    // the credentials allow: a token takes XOAUTH2, else OAUTHBEARER; a
    // password takes CRAM-MD5, else PLAIN (one round trip), else LOGIN. Null when none fits.
    static std::unique_ptr<SaslMechanism> choose(const QStringList &offered, const SaslCredentials &credentials);
};

} // namespace corvane
