#include "oauth/TokenAnswer.h"

#include "oauth/OAuthAdvice.h"
#include "storage/Settings.h"

#include <QJsonDocument>
#include <QList>

#include <algorithm>

namespace corvane {

namespace {

// The claims of a JWT access token, read without checking it: for information only.
QJsonObject claimsOf(const QByteArray &token)
{
    const QList<QByteArray> parts = token.split('.');
    if (parts.size() != 3)
        return QJsonObject();
    return QJsonDocument::fromJson(QByteArray::fromBase64(parts[1], QByteArray::Base64UrlEncoding)).object();
}

constexpr qint64 MaxBelievedLife = 366 * 24 * 3600;

qint64 secondsOf(const QJsonValue &value)
{
    // Some endpoints send it as a string.
    return value.isString() ? value.toString().toLongLong() : value.toInteger();
}

TokenAnswer refused(const QString &problem)
{
    return {std::nullopt, QString(), problem};
}

} // namespace

QString maskedText(const std::vector<CredentialMask> &masks, const QString &text)
{
    QString out = text;
    for (const CredentialMask &mask : masks)
        out = mask.apply(out);
    return mail::cleanServerText(out);
}

TokenAnswer readTokenAnswer(const QString &host, int status, const QString &reason, const QByteArray &body,
                            const std::vector<CredentialMask> &masks, qint64 askedAtMs,
                            const OAuthAdviceContext &context)
{
    const QJsonObject json = QJsonDocument::fromJson(body).object();
    if (const QString error = maskedText(masks, json.value(QLatin1String("error")).toString()); !error.isEmpty()) {
        const QString description = maskedText(masks, json.value(QLatin1String("error_description")).toString());
        const QString said = description.isEmpty() ? error : error + QStringLiteral(": ") + description;
        return refused(QStringLiteral("The token endpoint %1 refused the request (HTTP %2): %3%4%5")
                           .arg(host)
                           .arg(status)
                           .arg(said, said.endsWith(QLatin1Char('.')) ? QStringLiteral(" ") : QStringLiteral(". "),
                                oauthTokenErrorAdvice(error, description, context)));
    }
    if (status != 200)
        return refused(QStringLiteral("The token endpoint %1 answered HTTP %2 %3. %4")
                           .arg(host)
                           .arg(status)
                           .arg(maskedText(masks, reason),
                                status >= 500 ? QStringLiteral("The provider has a problem of its own; the next send "
                                                               "tries again.")
                                              : QStringLiteral("Check Token_Url and Tenant.")));
    OAuthToken token;
    token.accessToken = json.value(QLatin1String("access_token")).toString().toUtf8();
    if (token.accessToken.isEmpty())
        return refused(QStringLiteral("The answer of the token endpoint %1 holds no access token. Check Token_Url: "
                                      "it must be the provider's token endpoint.")
                           .arg(host));
    token.expiresIn = std::max<qint64>(0, secondsOf(json.value(QLatin1String("expires_in"))));
    // Counted from the request, so a slow answer errs on the early side; no
    // figure is believed beyond a year.
    if (token.expiresIn > 0)
        token.expiresAtMs = askedAtMs + std::min(token.expiresIn, MaxBelievedLife) * 1000;
    token.httpStatus = status;
    token.claimsForInfo = claimsOf(token.accessToken);
    // Spaces only trimmed, as the settings file keeps its values.
    return {token, trimSpaces(json.value(QLatin1String("refresh_token")).toString()), QString()};
}

} // namespace corvane
