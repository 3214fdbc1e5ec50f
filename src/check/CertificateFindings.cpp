#include "check/CertificateFindings.h"

#include <QJsonArray>
#include <QLocale>
#include <QSslConfiguration>

namespace corvane {

namespace {

QString dateText(const QDateTime &when)
{
    return QLocale::c().toString(when.toUTC(), QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
}

} // namespace

CertificateFindings::CertificateFindings(const SmtpProbe::Handshake &handshake, QList<QSslError> errors)
    : m_handshake(handshake), m_errors(std::move(errors))
{
    m_certificate = m_handshake.chain.value(0);
    // A handshake the client broke off may have kept no chain; the errors name the certificate.
    for (qsizetype i = 0; m_certificate.isNull() && i < m_errors.size(); ++i)
        m_certificate = m_errors.at(i).certificate();
}

QString CertificateFindings::protocolName() const
{
    switch (m_handshake.protocol) {
    case QSsl::TlsV1_2: return QStringLiteral("TLS 1.2");
    case QSsl::TlsV1_3: return QStringLiteral("TLS 1.3");
    default: return QStringLiteral("older than TLS 1.2");
    }
}

void CertificateFindings::describe(CheckStageResult &result) const
{
    const QString subject = m_certificate.subjectDisplayName();
    const QString issuer = m_certificate.issuerDisplayName();
    const QDateTime expiry = m_certificate.expiryDate();
    result.details << QStringLiteral("protocol %1, cipher %2").arg(protocolName(), m_handshake.cipher);
    result.details << QStringLiteral("certificate subject: %1").arg(subject);
    result.details << QStringLiteral("certificate issuer: %1").arg(issuer);
    result.details << QStringLiteral("certificate expires: %1").arg(dateText(expiry));
    QStringList problems;
    for (const QSslError &error : m_errors)
        problems << error.errorString();
    result.details << (problems.isEmpty() ? QStringLiteral("certificate verified")
                                          : QStringLiteral("certificate NOT verified: %1")
                                                .arg(problems.join(QStringLiteral("; "))));
    result.data.insert(QStringLiteral("protocol"), protocolName());
    result.data.insert(QStringLiteral("cipher"), m_handshake.cipher);
    result.data.insert(QStringLiteral("subject"), subject);
    result.data.insert(QStringLiteral("issuer"), issuer);
    result.data.insert(QStringLiteral("expires"), expiry.toUTC().toString(Qt::ISODate));
    result.data.insert(QStringLiteral("verified"), problems.isEmpty());
    result.data.insert(QStringLiteral("problems"), QJsonArray::fromStringList(problems));
}

QString CertificateFindings::advice() const
{
    for (const QSslError &error : m_errors) {
        if (error.error() == QSslError::CertificateExpired)
            return QStringLiteral("The server's certificate expired on %1: its administrator must renew it.")
                .arg(dateText(m_certificate.expiryDate()));
        if (error.error() == QSslError::HostNameMismatch)
            return QStringLiteral("The certificate is made out to another name: write the name it carries (%1) in "
                                  "the server setting.")
                .arg(m_certificate.subjectDisplayName());
    }
    return QStringLiteral("The certificate is not signed by an authority this machine trusts: add the site's CA "
                          "certificate to the system's store (update-ca-certificates).");
}

} // namespace corvane
