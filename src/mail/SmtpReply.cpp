#include "mail/SmtpReply.h"

namespace corvane {

QString SmtpReply::text() const
{
    if (!received())
        return failure;
    QString joined = QString::number(code);
    for (const QString &line : lines) {
        if (!line.isEmpty())
            joined += QLatin1Char(' ') + line;
    }
    return joined;
}

namespace {

// A server that never ends a line or a reply would otherwise grow the buffer
// without bound; real replies are far below these limits.
constexpr qsizetype kMaxLine = 4096;
constexpr int kMaxLines = 100;

// "x.y.z" with x the reply's class, y and z of one to three digits.
QString enhancedCodeOf(int code, const QString &firstLine)
{
    const qsizetype end = firstLine.indexOf(QLatin1Char(' '));
    const QString word = end < 0 ? firstLine : firstLine.left(end);
    const QStringList parts = word.split(QLatin1Char('.'));
    if (parts.size() != 3 || parts[0] != QString::number(code / 100))
        return {};
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return {};
        for (QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return {};
        }
    }
    return word;
}

bool refuse(SmtpReply *reply, const QString &failure)
{
    *reply = SmtpReply();
    reply->failure = failure;
    return true;
}

} // namespace

bool SmtpReply::take(QByteArray &buffer, SmtpReply *reply)
{
    SmtpReply result;
    qsizetype start = 0;
    for (int count = 0;; ++count) {
        if (count == kMaxLines)
            return refuse(reply, QStringLiteral("the server's answer does not end"));
        const qsizetype end = buffer.indexOf('\n', start);
        if (end < 0) {
            if (buffer.size() - start > kMaxLine)
                return refuse(reply, QStringLiteral("the server sent a line far longer than SMTP allows"));
            return false;
        }
        QByteArray line = buffer.mid(start, end - start);
        start = end + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        bool digits = line.size() >= 3;
        for (int i = 0; digits && i < 3; ++i)
            digits = line.at(i) >= '0' && line.at(i) <= '9';
        if (!digits || (line.size() > 3 && line.at(3) != ' ' && line.at(3) != '-'))
            return refuse(reply, QStringLiteral("the server's answer is not SMTP: %1")
                                     .arg(QString::fromLatin1(line.left(80))));
        const int code = line.left(3).toInt();
        if (code < 100 || code > 599)
            return refuse(reply, QStringLiteral("the server's answer has no valid reply code: %1").arg(code));
        if (result.code != 0 && code != result.code)
            return refuse(reply, QStringLiteral("the server mixed reply codes in one answer"));
        result.code = code;
        result.lines.append(QString::fromUtf8(line.mid(4)).trimmed());
        if (line.size() == 3 || line.at(3) == ' ') {
            buffer.remove(0, start);
            if (result.code >= 200)
                result.enhanced = enhancedCodeOf(result.code, result.lines.first());
            *reply = result;
            return true;
        }
    }
}

} // namespace corvane
