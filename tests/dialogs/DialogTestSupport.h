#pragma once

#include "intake/NotificationQueue.h"
#include "storage/ActivityLog.h"
#include "storage/Settings.h"

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTemporaryDir>
#include <QWidget>

namespace corvane::test {

// The in-memory settings, the log and the queue of a program whose folder is
// a temporary one: Corvane.ini and Logs/ live there.
class ProgramData {
    QTemporaryDir m_dir; // first: everything else lives in it

public:
    ProgramData();

    QString folder() const { return m_dir.path(); }
    QString iniPath() const { return settings.SettingsFilePath; }
    // What the settings file holds now, read the way the program reads it.
    Settings readBack() const;
    // Everything logged so far, all log files together.
    QByteArray logged() const;

    Settings settings;
    ActivityLog log;
    NotificationQueue queue;
};

// What a message box showed when it was answered.
struct SeenMessageBox {
    bool seen = false;
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::TextFormat format = Qt::AutoText;
    int buttons = 0;
    bool ownerStillOpen = false; // the dialog had not closed while the box was up
};

// Answers the next message box without blocking the caller: once a box is the
// active modal window (and has been for a round of events), records it into
// `seen` and clicks its OK button. Gives up after a few seconds.
void answerMessageBox(SeenMessageBox *seen, QWidget *owner);

// Lets every queued call and posted event run, including ones they post.
void settle();

template <typename T>
T *child(const QWidget *window, const QString &name)
{
    return window->findChild<T *>(name);
}

// Replaces a box's text by typing, as a person would: select all, then type.
void typeInto(QWidget *box, const QString &text);

// Shows a dialog the way the main window does and waits until it is active.
bool showActive(QWidget *dialog);

} // namespace corvane::test
