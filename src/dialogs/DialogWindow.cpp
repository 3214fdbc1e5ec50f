#include "dialogs/DialogWindow.h"

#include "dialogs/DialogRules.h"
#include "storage/Settings.h"
#include "storage/SettingsStore.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

namespace corvane {

namespace {

const QColor DialogGrey(64, 64, 64);

} // namespace

DialogWindow::DialogWindow(const QString &name, const QString &caption, int clientWidthTwips,
                           int clientHeightTwips, QWidget *parent)
    : QWidget(parent, Qt::Dialog)
{
    setObjectName(name);
    setWindowTitle(caption);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(twips(clientWidthTwips), twips(clientHeightTwips));
    setAutoFillBackground(true);
    QPalette grey = palette();
    grey.setColor(QPalette::Window, DialogGrey);
    // Captions drawn straight on the grey stay readable.
    grey.setColor(QPalette::WindowText, Qt::white);
    grey.setColor(QPalette::Disabled, QPalette::WindowText, QColor(150, 150, 150));
    setPalette(grey);
    setFont(legacyFont(8.25, false));

    // Any change of the active window may be the one that ends this dialog;
    // the decision waits until the change has settled.
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &DialogWindow::scheduleActivationCheck);
}

void DialogWindow::place(QWidget *widget, int left, int top, int width, int height)
{
    widget->setGeometry(twips(left), twips(top), twips(width), twips(height));
}

QFont DialogWindow::legacyFont(qreal pointSize, bool bold)
{
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      // As narrow as the face the captions were fitted to.
                      QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans"),
                      QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

QPushButton *DialogWindow::makeButton(const QString &name, const QString &caption, QWidget *parent)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setFont(legacyFont(8.25, true));
    // Enter and Escape belong to the focused control, never to a button.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QLineEdit *DialogWindow::makeLineEdit(const QString &name, QWidget *parent)
{
    auto *box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setMaxLength(32767 * 1024); // effectively no limit
    // A line break would end up in a mail header or split a settings line.
    connect(box, &QLineEdit::textChanged, box, [box](const QString &text) {
        const QString flat = withoutLineBreaks(text);
        if (flat == text)
            return;
        const int cursor = box->cursorPosition();
        box->setText(flat);
        box->setCursorPosition(cursor);
    });
    return box;
}

void DialogWindow::showMessage(QMessageBox::Icon icon, const QString &caption, const QString &text)
{
    QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void DialogWindow::saveAndClose(Settings &settings)
{
    const SaveResult saved = SaveAllSettings(settings);
    if (!saved)
        showMessage(QMessageBox::NoIcon, QStringLiteral("Error"), saveFailureText(settings.SettingsFilePath, saved.error));
    close();
}

void DialogWindow::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::ActivationChange)
        scheduleActivationCheck();
    QWidget::changeEvent(event);
}

void DialogWindow::scheduleActivationCheck()
{
    // Noted at once: several changes may pass before the check runs.
    const QWidget *active = QApplication::activeWindow();
    if (active && ownsWindow(active))
        m_beenActive = true;
    if (m_checkPending)
        return;
    m_checkPending = true;
    QTimer::singleShot(0, this, &DialogWindow::checkActivation);
}

void DialogWindow::checkActivation()
{
    m_checkPending = false;
    if (!isVisible())
        return;
    // No active window means another application has the focus: that is no
    // reason to close.
    const QWidget *active = QApplication::activeWindow();
    if (active && ownsWindow(active)) {
        m_beenActive = true;
        return;
    }
    // Only a dialog that has had the focus can lose it. A new one may see the
    // main window still active (its menu just closed) before the window system
    // has activated the dialog.
    if (!active || !m_beenActive)
        return;
    close();
}

bool DialogWindow::ownsWindow(const QWidget *window) const
{
    for (const QWidget *w = window; w; w = w->parentWidget()) {
        if (w == this)
            return true;
    }
    return false;
}

} // namespace corvane
