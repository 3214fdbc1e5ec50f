#include "mail/SmtpTransaction.h"

#include "mail/SmtpConnection.h"

#include <algorithm>

namespace corvane {

namespace {

bool isAscii(const QString &text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// The body with every line that starts with "." doubled, then the end of data.
QByteArray stuffedWithEnd(const QByteArray &data)
{
    QByteArray out;
    out.reserve(data.size() + 16);
    qsizetype start = 0;
    while (start < data.size()) {
        qsizetype end = data.indexOf('\n', start);
        end = end < 0 ? data.size() : end + 1;
        if (data.at(start) == '.')
            out += '.';
        out.append(data.constData() + start, end - start);
        start = end;
    }
    if (!out.isEmpty() && !out.endsWith("\r\n"))
        out += "\r\n";
    out += ".\r\n";
    return out;
}

} // namespace

SmtpTransaction::SmtpTransaction(const SmtpAccount &account, const SmtpMessage &message)
    : m_account(account), m_key(account.key()), m_message(message)
{
}

SmtpFlow SmtpTransaction::flowFor(const SmtpCapabilities &caps)
{
    if (!caps.pipelining)
        return SmtpFlow::OneAtATime;
    return caps.chunking ? SmtpFlow::Chunked : SmtpFlow::Pipelined;
}

void SmtpTransaction::begin(SmtpConnection &wire, SmtpFlow flow, const SmtpCapabilities &caps)
{
    QByteArray mail = "MAIL FROM:<" + m_message.sender.toUtf8() + '>';
    if (caps.sizeLimit >= 0 && !m_message.data.isEmpty())
        mail += " SIZE=" + QByteArray::number(m_message.data.size());
    bool international = !isAscii(m_message.sender);
    for (const QString &rcpt : m_message.recipients)
        international = international || !isAscii(rcpt);
    if (international && caps.smtpUtf8)
        mail += " SMTPUTF8";
    wire.command(mail, {SmtpCommand::Mail, id()});
    reach(Step::EnvelopeWritten);
    if (flow == SmtpFlow::OneAtATime)
        return;
    for (int i = 0; i < m_message.recipients.size(); ++i)
        wire.command("RCPT TO:<" + m_message.recipients.at(i).toUtf8() + '>', {SmtpCommand::Rcpt, id(), i});
    closeEnvelope(wire, flow);
}

void SmtpTransaction::mailTaken(SmtpConnection &wire, SmtpFlow flow)
{
    reach(Step::EnvelopeAnswered);
    if (flow != SmtpFlow::OneAtATime)
        return;
    if (m_message.recipients.isEmpty())
        return closeEnvelope(wire, flow);
    wire.command("RCPT TO:<" + m_message.recipients.first().toUtf8() + '>', {SmtpCommand::Rcpt, id(), 0});
}

bool SmtpTransaction::recipientAnswered(const SmtpReply &reply, SmtpConnection &wire, SmtpFlow flow)
{
    const int index = m_answered++;
    if (reply.ok())
        ++outcome.acceptedRecipients;
    else
        outcome.refusedRecipients.append(recipient(index));
    if (m_answered < m_message.recipients.size()) {
        if (flow == SmtpFlow::OneAtATime)
            wire.command("RCPT TO:<" + m_message.recipients.at(m_answered).toUtf8() + '>',
                         {SmtpCommand::Rcpt, id(), m_answered});
        return true;
    }
    if (outcome.acceptedRecipients == 0)
        return false;
    reach(Step::Data);
    if (flow == SmtpFlow::OneAtATime)
        closeEnvelope(wire, flow);
    return true;
}

void SmtpTransaction::closeEnvelope(SmtpConnection &wire, SmtpFlow flow)
{
    if (m_message.probeOnly) // a probe ends with its recipients answered
        return wire.command("RSET", {SmtpCommand::Rset, id()});
    if (flow != SmtpFlow::Chunked)
        return wire.command("DATA", {SmtpCommand::Data, id()});
    wire.append("BDAT " + QByteArray::number(m_message.data.size()) + " LAST\r\n" + m_message.data,
                {SmtpCommand::EndOfData, id()});
    reach(Step::FinalSent);
}

void SmtpTransaction::writeBody(SmtpConnection &wire)
{
    wire.append(stuffedWithEnd(m_message.data), {SmtpCommand::EndOfData, id()});
    reach(Step::FinalSent);
}

void SmtpTransaction::finish(MailOutcome::Kind kind, MailPhase phase, const QString &explanation,
                             const SmtpReply &reply, const QString &replyText)
{
    outcome.kind = kind;
    outcome.phase = phase;
    outcome.code = reply.code;
    outcome.enhancedCode = reply.enhanced;
    outcome.reply = replyText;
    outcome.explanation = explanation;
    m_step = Step::Done;
}

void SmtpTransaction::requeue()
{
    m_step = Step::Queued;
    m_answered = 0;
    outcome = {};
}

// Steps only go forward: with CHUNKING the final is written before MAIL is answered.
void SmtpTransaction::reach(Step step)
{
    m_step = std::max(m_step, step);
}

} // namespace corvane
