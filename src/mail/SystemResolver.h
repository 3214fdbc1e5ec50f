#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

namespace corvane {

// The system's resolver (getaddrinfo), blocking: HostLookup runs it on a
// thread of its own. SystemResolver_posix.cpp and SystemResolver_win.cpp hold
// each system's headers and error texts.
void resolveWithSystem(const QByteArray &host, QList<QHostAddress> *addresses, QString *error);

} // namespace corvane
