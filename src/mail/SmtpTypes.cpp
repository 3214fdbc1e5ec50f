#include "mail/SmtpTypes.h"

#include <QCryptographicHash>

#include <algorithm>

namespace corvane {

QByteArray SmtpAccount::key() const
{
    QByteArray key = endpoint.url.toUtf8() + '\n' + QByteArray::number(int(endpoint.tls)) + '\n'
        + address.toString().toUtf8() + '\n' + heloName.toUtf8();
    if (wantsLogin())
        key += '\n' + userName.toUtf8() + '\n' + password.toUtf8() + '\n' + bearerToken;
    for (const QSslCertificate &ca : caCertificates)
        key += '\n' + ca.digest(QCryptographicHash::Sha256).toHex();
    return key;
}

SmtpCapabilities SmtpCapabilities::fromEhlo(const SmtpReply &reply)
{
    SmtpCapabilities caps;
    caps.esmtp = true;
    for (qsizetype i = 1; i < reply.lines.size(); ++i) {
        const QString line = reply.lines.at(i);
        caps.lines.append(line);
        const QStringList words = line.toUpper().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        const QString &keyword = words.first();
        if (keyword == QLatin1String("STARTTLS"))
            caps.startTls = true;
        else if (keyword == QLatin1String("PIPELINING"))
            caps.pipelining = true;
        else if (keyword == QLatin1String("CHUNKING"))
            caps.chunking = true;
        else if (keyword == QLatin1String("ENHANCEDSTATUSCODES"))
            caps.enhancedCodes = true;
        else if (keyword == QLatin1String("SMTPUTF8"))
            caps.smtpUtf8 = true;
        else if (keyword == QLatin1String("SIZE"))
            caps.sizeLimit = words.size() > 1 ? std::max<qint64>(0, words.at(1).toLongLong()) : 0;
        else if (keyword == QLatin1String("AUTH") || keyword.startsWith(QLatin1String("AUTH=")))
            for (const QString &word : words.mid(1) + QStringList{keyword.mid(5)})
                if (!word.isEmpty() && !caps.auth.contains(word))
                    caps.auth.append(word);
    }
    return caps;
}

} // namespace corvane
