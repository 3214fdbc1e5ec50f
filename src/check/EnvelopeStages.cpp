// The envelope: MAIL FROM with the sender, RCPT TO for every address of the
// lists checked.

#include "check/CheckContext.h"
#include "check/CheckStages.h"
#include "check/StageVerdict.h"
#include "mail/MailAddresses.h"

#include <QJsonArray>

namespace corvane {

bool checkSender(const CheckContext &c, StageVerdict &v)
{
    const SmtpProbe::Trace &trace = c.trace;
    const QString sender = c.settings.AccountSettings.SenderEmail;
    v.result.data.insert(QStringLiteral("address"), mail::printable(sender));
    if (sender.isEmpty()) {
        return v.fail(QStringLiteral("no sender address is set"),
                      QStringLiteral("Enter the sender address in %1 (Sender_Email).").arg(kAccountDialog));
    }
    if (const QString problem = mail::envelopeProblem(sender); !problem.isEmpty()) {
        return v.fail(QStringLiteral("the sender address %1 cannot be used: %2").arg(mail::printable(sender), problem),
                      QStringLiteral("Correct the sender address in %1.").arg(kAccountDialog));
    }
    const SmtpProbe::Step *mail = trace.find(SmtpStep::Mail);
    if (!mail) {
        return v.fail(QStringLiteral("MAIL FROM:<%1>: %2").arg(sender, v.sessionFailure(trace)),
                      QStringLiteral("The server stopped answering: it may be overloaded or a filter holds the "
                                     "connection; try again later."));
    }
    v.reachedAt(mail->at);
    const SmtpReply &reply = mail->reply;
    v.result.data.insert(QStringLiteral("reply"), reply.text());
    insertEnhanced(v.result.data, reply);
    if (!reply.ok()) {
        const bool wantsLogin = reply.code == 530 || reply.text().contains(QLatin1String("auth"), Qt::CaseInsensitive);
        return v.fail(QStringLiteral("MAIL FROM:<%1> refused: %2").arg(sender, reply.text()),
                      wantsLogin ? QStringLiteral("The server wants a login before it takes mail: turn Login on and "
                                                  "enter the user name and password.")
                                 : QStringLiteral("The server refused the sender address: use an address of the "
                                                  "account's own domain."));
    }
    v.result.summary = QStringLiteral("MAIL FROM:<%1> accepted").arg(sender);
    return v.pass();
}

bool checkRecipients(const CheckContext &c, StageVerdict &v)
{
    const SmtpProbe::Trace &trace = c.trace;
    const QStringList &recipients = c.probe.recipients;
    v.result.details = c.probe.recipientNotes;
    if (recipients.isEmpty()) {
        const int list = c.options.list;
        return v.fail(list == 0 ? QStringLiteral("no list has addresses")
                                : QStringLiteral("list %1 has no addresses").arg(list),
                      QStringLiteral("Add addresses in Settings > Email Lists."));
    }
    // The client wrote one RCPT per address the component kept, in this order.
    const QStringList &sent = c.probe.request.message.recipients;
    const std::vector<const SmtpProbe::Step *> answers = trace.all(SmtpStep::Rcpt);
    qsizetype next = 0;
    QJsonArray verdicts;
    QString firstRefusal;
    int accepted = 0;
    for (const QString &address : recipients) {
        QString verdict;
        bool ok = false;
        QString reply;
        QJsonObject entry{{QStringLiteral("address"), mail::printable(address)}};
        if (next >= sent.size() || sent.at(next) != address) {
            verdict = QStringLiteral("not sent: %1").arg(mail::envelopeProblem(address));
        } else if (static_cast<std::size_t>(next) < answers.size()) {
            const SmtpProbe::Step *answer = answers[static_cast<std::size_t>(next++)];
            v.reachedAt(answer->at);
            reply = answer->reply.text();
            ok = answer->reply.ok();
            insertEnhanced(entry, answer->reply);
            verdict = ok ? QStringLiteral("accepted") : QStringLiteral("refused: %1").arg(reply);
        } else {
            v.result.details << QStringLiteral("%1: no answer").arg(mail::printable(address));
            return v.fail(QStringLiteral("the server stopped answering: %1").arg(v.sessionFailure(trace)),
                          QStringLiteral("The server stopped answering during the recipients: try again, and ask its "
                                         "administrator if this repeats."));
        }
        accepted += ok ? 1 : 0;
        if (!ok && firstRefusal.isEmpty())
            firstRefusal = QStringLiteral("%1 (%2)").arg(mail::printable(address), reply.isEmpty() ? verdict : reply);
        v.result.details << QStringLiteral("%1: %2").arg(mail::printable(address), verdict);
        entry.insert(QStringLiteral("accepted"), ok);
        entry.insert(QStringLiteral("reply"), reply);
        verdicts.append(entry);
    }
    v.result.data.insert(QStringLiteral("recipients"), verdicts);
    const QString counts = QStringLiteral("%1 of %2 accepted").arg(accepted).arg(recipients.size());
    if (!firstRefusal.isEmpty()) {
        return v.fail(counts,
                      QStringLiteral("The server refused %1: correct the address, or ask whether the server relays to "
                                     "other domains for this account.").arg(firstRefusal));
    }
    v.result.summary = counts;
    return v.pass();
}

} // namespace corvane
