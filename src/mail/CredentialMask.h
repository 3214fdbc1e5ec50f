#pragma once

#include <QString>
#include <QStringList>

namespace corvane {

// Hides the password, plain and in the base64 forms an AUTH exchange uses,
// in text that comes from outside the program (server replies, libcurl's error
// texts). It is applied to that text before it is shortened or put into a
// status line, so a cut never leaves a fragment and the program's own wording
// is never touched.
class CredentialMask {
public:
    CredentialMask() = default;
    CredentialMask(const QString &userName, const QString &password);

    QString apply(const QString &text) const;

private:
    QStringList m_forms;
};

namespace mail {
// Text from a server made fit for a status line: credentials masked first,
// then control characters out and the length capped.
QString cleanServerText(const QString &text, const CredentialMask &mask = {});
} // namespace mail

} // namespace corvane
