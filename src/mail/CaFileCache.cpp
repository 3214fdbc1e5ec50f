#include "mail/CaFileCache.h"

#include <QFileInfo>

namespace corvane {

QList<QSslCertificate> CaFileCache::load(const QString &path)
{
    const QFileInfo file(path);
    const qint64 size = file.exists() ? file.size() : -1;
    const QDateTime modified = file.lastModified();
    if (path != m_path || size != m_size || modified != m_modified) {
        m_path = path;
        m_size = size;
        m_modified = modified;
        m_certificates = size < 0 ? QList<QSslCertificate>() : QSslCertificate::fromPath(path, QSsl::Pem);
    }
    return m_certificates;
}

} // namespace corvane
