#pragma once

#include "intake/NotificationQueue.h"
#include "storage/ActivityLog.h"
#include "storage/Settings.h"

#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QWidget>

namespace corvane::test {

// Settings, log and queue of a program living in a temporary folder.
class ProgramData {
    QTemporaryDir m_dir; // first: everything else lives in it

public:
    ProgramData();
    QString folder() const { return m_dir.path(); }
    Settings readBack() const; // the settings file, read the way the program reads it
    QByteArray logged() const; // every log file together

    Settings settings;
    ActivityLog log;
    NotificationQueue queue;
};

// A dialog window under test, driven with keys and clicks.
struct Driver {
    QPointer<QWidget> dialog;

    bool show(QWidget *window); // shown and active
    QWidget *get(const QString &name) const; // fails the test run when missing
    QString text(const QString &box) const;
    // Turns to the box's page when it is on a hidden one, selects all, types.
    void type(const QString &box, const QString &text) const;
    void press(const QString &button) const;
    // The focused control's name, then again after each of `presses` Tab keys.
    static QStringList tabWalk(int presses);
};

struct SeenMessageBox {
    bool seen = false;
    QString caption, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool plain = false, oneButton = false;
    bool ownerStillOpen = false; // the dialog did not close while the box was up
};

// Without blocking the caller: once a message box is the active window (for a
// round of events, so queued checks have run), records it and clicks OK.
void answerMessageBox(SeenMessageBox *seen, QWidget *owner);

// Lets queued calls and posted events run, including those they post.
void settle();

} // namespace corvane::test
