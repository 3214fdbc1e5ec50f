#include "mail/CredentialMask.h"

#include "mail/MailEncoding.h"

#include <QByteArray>

#include <algorithm>

namespace corvane {

CredentialMask::CredentialMask(const QString &userName, const QString &password)
{
    if (password.size() < 3) // masking one or two characters would garble every line
        return;
    const QByteArray user = userName.toUtf8();
    const QByteArray pass = password.toUtf8();
    m_forms << password << QString::fromLatin1(pass.toBase64())
            << QString::fromLatin1(QByteArray('\0' + user + '\0' + pass).toBase64())
            << QString::fromLatin1(QByteArray(user + '\0' + user + '\0' + pass).toBase64());
    // Inside a longer base64 text the password starts at one of three byte
    // offsets; from its first byte on a group boundary its encoding is fixed.
    for (int skip = 0; skip < 3; ++skip) {
        const QByteArray aligned = pass.mid(skip);
        const qsizetype whole = aligned.size() / 3 * 3;
        if (whole >= 3)
            m_forms << QString::fromLatin1(aligned.left(whole).toBase64());
    }
    // Longest first: a shorter form inside a longer one must not leave the rest.
    std::sort(m_forms.begin(), m_forms.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
}

QString CredentialMask::apply(const QString &text) const
{
    QString out = text;
    for (const QString &form : m_forms)
        out.replace(form, QStringLiteral("********"));
    return out;
}

QString mail::cleanServerText(const QString &text, const CredentialMask &mask)
{
    // Masked before anything else: a cut or a replaced character could break
    // a form up so that it no longer matches.
    QString clean = replaceControls(mask.apply(text)).simplified();
    if (clean.size() > 200)
        clean = clean.left(200) + QStringLiteral("...");
    return clean;
}

} // namespace corvane
