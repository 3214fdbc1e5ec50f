#include "check/SmtpReply.h"

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

} // namespace corvane
