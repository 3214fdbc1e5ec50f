#include "dialogs/frmEmailTest.h"

#include "dialogs/DialogRules.h"
#include "intake/NotificationQueue.h"
#include "storage/Settings.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

namespace corvane {

frmEmailTest::frmEmailTest(const RecipientListTable &lists, NotificationQueue &queue,
                           QWidget *parent)
    : DialogWindow(QStringLiteral("frmEmailTest"), QStringLiteral("Test Email"), 7665, 5145, parent)
    , m_queue(queue)
{
    const QFont plain = legacyFont(8.25, false);

    QGroupBox *frame3 = makeFrame(QStringLiteral("Frame3"), QStringLiteral("Email List"), 120, 120,
                                  7425, 765);
    m_cmbList = new QComboBox(frame3); // pick-only, entries in the order added
    m_cmbList->setObjectName(QStringLiteral("cmbList"));
    m_cmbList->setFont(plain);
    place(m_cmbList, 1830, 240, 4005, 315);

    QGroupBox *frame1 = makeFrame(QStringLiteral("Frame1"), QStringLiteral("Subject"), 120, 990,
                                  7425, 795);
    m_txtSubject = makeLineEdit(QStringLiteral("txtSubject"), frame1);
    m_txtSubject->setFont(plain);
    place(m_txtSubject, 240, 270, 6975, 315);

    QGroupBox *frame2 = makeFrame(QStringLiteral("Frame2"), QStringLiteral("Text"), 120, 1890,
                                  7425, 2595);
    m_txtText = makeLineEdit(QStringLiteral("txtText"), frame2);
    m_txtText->setFont(plain);
    // A tall box, but one line: the text starts at the top as in a box of text.
    m_txtText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(m_txtText, 210, 300, 6975, 2115);

    m_cmdSend = makeButton(QStringLiteral("cmdSend"), QStringLiteral("Send Email"), this);
    place(m_cmdSend, 2250, 4620, 1545, 435);
    m_cmdCancel = makeButton(QStringLiteral("cmdCancel"), QStringLiteral("Cancel"), this);
    place(m_cmdCancel, 3930, 4620, 1545, 435);

    setTabOrder(m_cmbList, m_txtSubject);
    setTabOrder(m_txtSubject, m_txtText);
    setTabOrder(m_txtText, m_cmdSend);
    setTabOrder(m_cmdSend, m_cmdCancel);

    connect(m_cmdSend, &QPushButton::clicked, this, &frmEmailTest::send);
    connect(m_cmdCancel, &QPushButton::clicked, this, &QWidget::close);

    m_cmbList->addItems(testListEntries(lists));
    m_cmbList->setCurrentIndex(0);
    m_cmbList->setFocus(Qt::OtherFocusReason);
}

QGroupBox *frmEmailTest::makeFrame(const QString &name, const QString &caption, int left, int top,
                                   int width, int height)
{
    auto *frame = new QGroupBox(caption, this);
    frame->setObjectName(name);
    frame->setFont(legacyFont(8.25, true));
    place(frame, left, top, width, height);
    return frame;
}

void frmEmailTest::send()
{
    const QString subject = trimSpaces(m_txtSubject->text());
    const QString text = trimSpaces(m_txtText->text());
    if (subject.isEmpty()) {
        showMessage(QMessageBox::NoIcon, QStringLiteral("Error"),
                    QStringLiteral("Please add a subject to this email and try again."));
        return;
    }
    if (text.isEmpty()) {
        showMessage(QMessageBox::NoIcon, QStringLiteral("Error"),
                    QStringLiteral("Please add text to this email and try again."));
        return;
    }
    const auto list = static_cast<std::int16_t>(m_cmbList->currentIndex() + 1);
    if (m_queue.QueueEmail(list, subject, text) == QueueResult::Overflow) {
        showMessage(QMessageBox::NoIcon, QStringLiteral("Error"), queueFullText());
        return;
    }
    close();
}

} // namespace corvane
