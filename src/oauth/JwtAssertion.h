#pragma once

#include <QByteArray>
#include <QString>

namespace corvane {

// A signed JWT for a token request, or why there is none.
struct JwtResult {
    QByteArray token;  // header.claims.signature, base64url; a credential, never shown
    QString error;     // names the file and what is wrong with it, never the key material
    bool ok() const { return error.isEmpty(); }
};

// The JWTs the token grants sign with a private key (OpenSSL's EVP API).
class JwtAssertion {
public:
    // Microsoft's client assertion: PS256, the certificate's SHA-256
    // thumbprint in "x5t#S256", iss = sub = the client id, valid 9 minutes
    // (Microsoft takes at most 10).
    static JwtResult microsoftClientAssertion(const QString &certificateFile, const QString &privateKeyFile,
                                              const QString &clientId, const QString &audience, qint64 nowMs);
    // Google's service-account grant: RS256 with the key of the JSON key file,
    // acting for `mailbox` (domain-wide delegation), valid one hour (Google's most).
    static JwtResult googleServiceAccount(const QString &serviceAccountFile, const QString &mailbox,
                                          const QString &scope, const QString &audience, qint64 nowMs);

    static QByteArray base64Url(const QByteArray &bytes);
    // How long the assertions are valid, in seconds.
    static constexpr qint64 MicrosoftLifetime = 9 * 60;
    static constexpr qint64 GoogleLifetime = 3600;
};

} // namespace corvane
