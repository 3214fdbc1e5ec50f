#include "check/StageVerdict.h"

#include "mail/SmtpReply.h"

namespace corvane {

bool StageVerdict::pass()
{
    result.verdict = CheckVerdict::Passed;
    return true;
}

bool StageVerdict::fail(const QString &summary, const QString &advice)
{
    result.verdict = CheckVerdict::Failed;
    result.summary = summary;
    result.advice = advice;
    return false;
}

bool StageVerdict::skip(const QString &summary)
{
    result.verdict = CheckVerdict::Skipped;
    result.summary = summary;
    return true;
}

QString StageVerdict::sessionFailure(const SmtpProbe::Trace &trace)
{
    reachedAtEnd(trace);
    const QString why = lowerFirst(trace.outcome.explanation);
    return why.isEmpty() ? QStringLiteral("the session ended here") : why;
}

QString lowerFirst(const QString &text)
{
    if (text.size() > 1 && text.at(0).isUpper() && !text.at(1).isUpper())
        return text.at(0).toLower() + text.mid(1);
    return text;
}

void insertEnhanced(QJsonObject &data, const SmtpReply &reply)
{
    if (!reply.enhanced.isEmpty())
        data.insert(QStringLiteral("enhancedCode"), reply.enhanced);
}

} // namespace corvane
