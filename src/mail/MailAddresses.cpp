#include "mail/MailAddresses.h"

namespace corvane::mail {

namespace {

bool isControl(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029;
}

} // namespace

QString trimSpaces(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

QStringList splitRecipients(const QString &text, const QString &separator)
{
    const QString sep = separator.isEmpty() ? QStringLiteral(";") : separator;
    QStringList out;
    const QStringList parts = text.split(sep);
    for (const QString &part : parts) {
        const QString address = trimSpaces(part);
        if (!address.isEmpty())
            out.append(address);
    }
    return out;
}

QString envelopeProblem(const QString &address)
{
    if (address.isEmpty())
        return QStringLiteral("it is empty");
    // SMTP's limit for a path, angle brackets aside. A longer address would
    // also make header lines no mail system has to accept.
    if (address.toUtf8().size() > MaxAddressBytes)
        return QStringLiteral("it is longer than %1 bytes").arg(MaxAddressBytes);
    for (QChar c : address) {
        if (isControl(c))
            return QStringLiteral("it holds a control character");
        if (c == QLatin1Char(' '))
            return QStringLiteral("it holds a space");
        if (c == QLatin1Char('<') || c == QLatin1Char('>'))
            return QStringLiteral("it holds '<' or '>'");
    }
    return {};
}

QString printable(const QString &address)
{
    QString out;
    out.reserve(address.size());
    for (QChar c : address)
        out += isControl(c) ? QChar(QLatin1Char('?')) : c;
    return out;
}

QString settingForDisplay(const QString &setting)
{
    const int at = setting.lastIndexOf(QLatin1Char('@'));
    if (at < 0)
        return printable(setting);
    const int scheme = setting.indexOf(QLatin1String("://"));
    const QString prefix = scheme >= 0 && scheme < at ? setting.left(scheme + 3) : QString();
    return printable(prefix + QStringLiteral("...@") + setting.mid(at + 1));
}

} // namespace corvane::mail
