#include "mail/SmtpTranscript.h"

#include "mail/MailEncoding.h"

namespace corvane {

namespace {

QByteArray withoutLineEnd(QByteArray line)
{
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return line;
}

SmtpTranscript::Step stepOf(const QByteArray &verb)
{
    using Step = SmtpTranscript::Step;
    if (verb == "EHLO" || verb == "HELO")
        return Step::Ehlo;
    if (verb == "STARTTLS")
        return Step::StartTls;
    if (verb == "AUTH")
        return Step::Auth;
    if (verb == "MAIL")
        return Step::Mail;
    if (verb == "RCPT")
        return Step::Rcpt;
    if (verb == "DATA")
        return Step::Data;
    if (verb == "QUIT")
        return Step::Quit;
    return Step::Other;
}

} // namespace

SmtpTranscript::SmtpTranscript(const ServerEndpoint &endpoint, const QString &userName, bool loginWanted,
                               bool connectAnnounced, StatusSink status, CredentialMask mask)
    : m_endpoint(endpoint),
      m_userName(userName),
      m_loginWanted(loginWanted),
      m_connectAnnounced(connectAnnounced),
      m_status(std::move(status)),
      m_mask(std::move(mask))
{
}

QString SmtpTranscript::cleanReplyText(const QByteArray &text, const CredentialMask &mask)
{
    // Masked before anything else: a cut or a replaced character could break a
    // form up so that it no longer matches.
    QString clean = mail::replaceControls(mask.apply(QString::fromUtf8(text))).simplified();
    if (clean.size() > 200)
        clean = clean.left(200) + QStringLiteral("...");
    return clean;
}

void SmtpTranscript::onText(const QByteArray &text)
{
    if (text.startsWith("Re-using existing connection")) {
        m_reused = true;
        m_tcpConnected = true;
        m_greeted = true;
        m_status(QStringLiteral("Using the open connection to %1").arg(m_endpoint.display));
    } else if (text.startsWith("  Trying ") || text.startsWith("Trying ")) {
        if (!m_connectAnnounced) {
            m_connectAnnounced = true;
            m_status(QStringLiteral("Connecting to %1").arg(m_endpoint.display));
        }
    } else if (text.startsWith("Connected to ")) {
        m_tcpConnected = true;
    } else if (text.startsWith("SSL connection using ")) {
        const QByteArray rest = withoutLineEnd(text.mid(21));
        const int slash = rest.indexOf(" /");
        m_tlsVersion = QString::fromLatin1(slash >= 0 ? rest.left(slash) : rest).trimmed();
        m_encrypted = true;
        if (m_startTlsAccepted)
            m_status(QStringLiteral("Connection encrypted with STARTTLS (%1)").arg(m_tlsVersion));
    }
}

void SmtpTranscript::onCommand(const QByteArray &line)
{
    // Lines after AUTH while the server keeps asking (334) are credentials.
    if (m_step == Step::Auth && m_lastReplyCode == 334)
        return;
    const int space = line.indexOf(' ');
    const QByteArray verb = withoutLineEnd(space < 0 ? line : line.left(space)).toUpper();
    m_step = stepOf(verb);
    m_replyText.clear();
    m_lastReplyCode = 0;
    switch (m_step) {
    case Step::Auth:
        m_authSent = true;
        if (!m_encrypted)
            m_status(QStringLiteral("Warning: the password goes to the server unencrypted"));
        break;
    case Step::Rcpt: {
        const int open = line.indexOf('<');
        const int close = line.indexOf('>', open + 1);
        m_rcptAddress = open >= 0 && close > open ? QString::fromUtf8(line.mid(open + 1, close - open - 1))
                                                  : QString();
        break;
    }
    case Step::Mail:
        if (m_loginWanted && !m_authSent && !m_reused)
            m_status(QStringLiteral("The server offers no login; sending without logging in"));
        break;
    case Step::Data:
        m_dataSent = true;
        break;
    default:
        break;
    }
}

void SmtpTranscript::onReplyLine(const QByteArray &raw)
{
    const QByteArray line = withoutLineEnd(raw);
    if (line.size() < 3)
        return;
    bool ok = false;
    const int code = line.left(3).toInt(&ok);
    if (!ok)
        return;
    const bool more = line.size() > 3 && line[3] == '-';
    if (m_step == Step::Ehlo && !m_encrypted && line.mid(4).trimmed().toUpper() == "STARTTLS")
        m_startTlsOffered = true;
    if (!m_replyText.isEmpty())
        m_replyText += ' ';
    m_replyText += line.mid(4);
    if (!more)
        finishReply(code);
}

void SmtpTranscript::reject(int code)
{
    if (m_rejection.code != 0)
        return;
    m_rejection = {code, cleanReplyText(m_replyText, m_mask)};
    m_rejectedStep = m_step;
}

void SmtpTranscript::finishReply(int code)
{
    m_lastReplyCode = code;
    const bool failed = code >= 400;
    switch (m_step) {
    case Step::Greeting:
        if (failed) {
            reject(code);
            break;
        }
        m_greeted = true;
        m_tcpConnected = true;
        if (m_encrypted)
            m_status(QStringLiteral("Connected to %1 with TLS (%2)").arg(m_endpoint.display, m_tlsVersion));
        else
            m_status(QStringLiteral("Connected to %1 (not encrypted)").arg(m_endpoint.display));
        break;
    case Step::StartTls:
        if (failed)
            reject(code);
        else
            m_startTlsAccepted = true;
        break;
    case Step::Auth:
        if (code == 334)
            break;
        if (failed) {
            reject(code);
        } else {
            m_loggedIn = true;
            m_status(QStringLiteral("Logged in as %1").arg(mail::replaceControls(m_userName)));
        }
        break;
    case Step::Rcpt:
        if (failed) {
            m_refused.append(m_rcptAddress);
            m_status(QStringLiteral("Recipient refused by the server: %1 (%2 %3)")
                         .arg(m_rcptAddress)
                         .arg(code)
                         .arg(cleanReplyText(m_replyText, m_mask)));
        } else {
            ++m_accepted;
        }
        break;
    case Step::Data:
        if (failed) {
            reject(code);
        } else if (code == 354) {
            m_step = Step::Message; // the next reply answers the message itself
        }
        break;
    case Step::Message:
        m_finalReply = {code, cleanReplyText(m_replyText, m_mask)};
        m_status(QStringLiteral("Server reply: %1 %2").arg(code).arg(m_finalReply.text));
        if (failed)
            reject(code);
        break;
    case Step::Ehlo: // libcurl falls back to HELO on its own
        if (!failed && !m_encrypted && m_plainGreeting)
            m_plainGreeting(m_startTlsOffered);
        break;
    case Step::Quit:
        break;
    default:
        if (failed)
            reject(code);
        break;
    }
    m_replyText.clear();
}

} // namespace corvane
