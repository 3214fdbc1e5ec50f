// libFuzzer target for the reading of a token endpoint's answer: whatever the
// endpoint sends, the result is a token or a problem, never both; a token has
// a sane life; a problem is the program's cause and advice on one line, and
// never shows the credential the request carried, whatever the endpoint echoes.
//
// Input: the HTTP status in two bytes (big-endian), the reason phrase up to
// the first line feed, then the body.
#include "FuzzInvariant.h"
#include "oauth/TokenAnswer.h"

#include <QUrl>

#include <cstddef>
#include <cstdint>

using corvane::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int raw = ((data[0] << 8) | data[1]) % 600; // a seed's bytes are its status
    const int status = raw < 100 ? raw + 100 : raw;
    const QByteArray rest(reinterpret_cast<const char *>(data) + 2, static_cast<qsizetype>(size - 2));
    const qsizetype lineEnd = rest.indexOf('\n');
    const QString reason = QString::fromLatin1(rest.left(lineEnd < 0 ? 0 : lineEnd));
    const QByteArray body = lineEnd < 0 ? rest : rest.mid(lineEnd + 1);

    const QString secret = QStringLiteral("Zq8~s3cr+et/Wx.42=");
    const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(secret));
    const std::vector<corvane::CredentialMask> masks{{QString(), secret}, {QString(), encoded}};
    const qint64 askedAt = 1800000000000;
    // The advice differs by grant and cloud: the reason's length picks them.
    const corvane::OAuthAdviceContext context{
        reason.size() % 2 ? corvane::OAuthProvider::Google : corvane::OAuthProvider::Microsoft,
        reason.size() % 3 ? corvane::OAuthGrantKind::RefreshToken : corvane::OAuthGrantKind::Certificate,
        QStringLiteral("https://login.microsoftonline.us/t/oauth2/v2.0/token"), QStringLiteral("https://s.example/")};
    const corvane::TokenAnswer answer =
        corvane::readTokenAnswer(QStringLiteral("login.example"), status, reason, body, masks, askedAt, context);

    check(answer.token.has_value() == answer.problem.isEmpty(), "a token or a problem, never both");
    check(answer.token || answer.refreshToken.isEmpty(), "a renewed refresh token only with a token");
    if (answer.token) {
        const corvane::OAuthToken &token = *answer.token;
        check(status == 200 && token.httpStatus == 200, "a token only from HTTP 200");
        check(!token.accessToken.isEmpty(), "a token is not empty");
        check(token.expiresIn >= 0, "no negative life");
        check((token.expiresAtMs == 0) == (token.expiresIn == 0), "an expiry exactly when a life was given");
        check(token.expiresAtMs == 0 || token.expiresAtMs > askedAt, "an expiry after the request");
        return 0;
    }
    check(answer.problem.endsWith(QLatin1Char('.')) && answer.problem.contains(QLatin1String(". ")),
          "a problem is a cause and advice");
    check(!answer.problem.contains(secret) && !answer.problem.contains(encoded), "no credential in a problem");
    for (const QChar c : answer.problem)
        check(c.unicode() >= 0x20 && c.unicode() != 0x7f, "a problem is one line of text");
    return 0;
}
