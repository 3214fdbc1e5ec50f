#pragma once

#include <QDateTime>
#include <QList>
#include <QSslCertificate>
#include <QString>

namespace corvane {

// The certificate authorities of a CA_File, read again only when the path,
// the file's size or its modification time change: not once per message.
class CaFileCache {
public:
    QList<QSslCertificate> load(const QString &path);

private:
    QString m_path;
    qint64 m_size = -1;
    QDateTime m_modified;
    QList<QSslCertificate> m_certificates;
};

} // namespace corvane
