#pragma once

#include <QColor>
#include <QFont>
#include <QMessageBox>
#include <QString>
#include <QWidget>

class QLineEdit;
class QPushButton;

namespace corvane {

struct Settings;

// What the settings and test dialogs share: a top-level window owned by
// the main window, never modal, of a fixed size, released when it closes, and
// closed without applying as soon as another window of the program becomes
// the active one.
class DialogWindow : public QWidget {
    Q_OBJECT
public:
    // Layout figures are designed in twips; 15 twips make one pixel.
    static constexpr int twips(int value) { return value / 15; }
    static void place(QWidget *widget, int left, int top, int width, int height);
    // The closest sans-serif face to the one the layout was drawn for.
    static QFont legacyFont(qreal pointSize, bool bold);
    static QPushButton *makeButton(const QString &name, const QString &caption, QWidget *parent);
    // A single-line box in which pasted or typed line breaks become spaces.
    static QLineEdit *makeLineEdit(const QString &name, QWidget *parent);

protected:
    DialogWindow(const QString &name, const QString &caption, int clientWidthTwips,
                 int clientHeightTwips, QWidget *parent);

    // A modal box with one OK button and the text shown exactly as given.
    void showMessage(QMessageBox::Icon icon, const QString &caption, const QString &text);
    // Writes the whole settings file, an "Error" box naming the file and the
    // reason when it cannot be written (what was applied stays in memory),
    // then closes.
    void saveAndClose(Settings &settings);

    void changeEvent(QEvent *event) override;

private:
    void scheduleActivationCheck();
    void checkActivation();
    bool ownsWindow(const QWidget *window) const;

    bool m_checkPending = false;
    bool m_beenActive = false;
};

} // namespace corvane
