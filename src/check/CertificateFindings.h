#pragma once

#include "check/CheckReport.h"
#include "check/SmtpProbe.h"

#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>

namespace corvane {

// What the check says about a server's certificate: the facts for the TLS
// stage, whether it verifies, and what to do when it does not.
class CertificateFindings {
public:
    CertificateFindings(const SmtpProbe::Handshake &handshake, QList<QSslError> errors);

    bool verified() const { return m_errors.isEmpty(); }
    QString protocolName() const;
    // Protocol, cipher, subject, issuer, expiry and the problems, as details and data.
    void describe(CheckStageResult &result) const;
    // One sentence for a certificate that did not verify.
    QString advice() const;

private:
    SmtpProbe::Handshake m_handshake;
    QList<QSslError> m_errors;
    QSslCertificate m_certificate;
};

} // namespace corvane
