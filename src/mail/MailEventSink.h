#pragma once

#include <QString>

namespace corvane {

// Where a send reports what happens, from the worker thread. The component
// forwards each call to its own thread, in order.
class MailEventSink {
public:
    virtual ~MailEventSink() = default;
    virtual void progress(int percent) = 0;
    virtual void status(const QString &line) = 0;
    virtual void succeeded() = 0;
    virtual void failed(const QString &explanation) = 0;
};

} // namespace corvane
