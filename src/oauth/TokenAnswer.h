#pragma once

#include "mail/CredentialMask.h"
#include "oauth/OAuthAdvice.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <vector>

namespace corvane {

// A bearer token, held in memory only, with what the endpoint said of it.
struct OAuthToken {
    QByteArray accessToken;
    qint64 expiresAtMs = 0;     // 0: the endpoint gave no lifetime; good for this sign-in only
    qint64 expiresIn = 0;       // seconds, as the endpoint said
    int httpStatus = 0;         // of the answer that brought it
    QString endpoint;           // the token URL it came from
    QString proxy;              // "the proxy host:port" it came through; empty: directly
    QJsonObject claimsForInfo;  // the access token's claims when it is a JWT (Microsoft's "roles")
};

// A token endpoint's HTTP answer, read: a token, or why there is none.
struct TokenAnswer {
    std::optional<OAuthToken> token; // all but the endpoint and the proxy set
    QString refreshToken;            // with the token: a new refresh token the endpoint handed out, if any
    QString problem;                 // one sentence naming the cause, one of advice; never a secret
};

// Reads the answer of the endpoint at `host`: an HTTP `status` with its
// `reason` phrase and the JSON `body` (RFC 6749 5.1 and 5.2). What the
// endpoint says goes through `masks` before it is shown: an endpoint may echo
// the credentials it was sent. The token's life counts from `askedAtMs`,
// when the request went out; `context` says what the request was, for the
// advice. Hostile input is expected: fuzzed.
TokenAnswer readTokenAnswer(const QString &host, int status, const QString &reason, const QByteArray &body,
                            const std::vector<CredentialMask> &masks, qint64 askedAtMs,
                            const OAuthAdviceContext &context);

// Text from the endpoint or the network layer made fit to be shown: every
// mask applied first, then control characters out and the length capped.
QString maskedText(const std::vector<CredentialMask> &masks, const QString &text);

} // namespace corvane
