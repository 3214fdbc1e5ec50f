#pragma once

#include "dialogs/DialogWindow.h"

class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;

namespace corvane {

class NotificationQueue;
struct RecipientListTable;

// A message typed by hand for one of the eight lists, handed to the queue
// exactly as a remote send command would be.
class frmEmailTest : public DialogWindow {
    Q_OBJECT
public:
    frmEmailTest(const RecipientListTable &lists, NotificationQueue &queue, QWidget *parent);

private:
    QGroupBox *makeFrame(const QString &name, const QString &caption, int left, int top, int width,
                         int height);
    void send();

    NotificationQueue &m_queue;
    QComboBox *m_cmbList = nullptr;
    QLineEdit *m_txtSubject = nullptr;
    QLineEdit *m_txtText = nullptr;
    QPushButton *m_cmdSend = nullptr;
    QPushButton *m_cmdCancel = nullptr;
};

} // namespace corvane
