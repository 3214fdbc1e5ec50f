#pragma once

#include "dialogs/DialogWindow.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace corvane {

struct Settings;

// The sending account: shows AccountSettings, and "Apply And Save" copies the
// controls back and writes the whole settings file.
class frmSetEmailAccount : public DialogWindow {
    Q_OBJECT
public:
    frmSetEmailAccount(Settings &settings, QWidget *parent);

signals:
    // The controls were copied to AccountSettings (whether or not the file
    // could be written).
    void accountApplied();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLineEdit *addField(const QString &labelName, const QString &caption, int labelLeft,
                        int labelWidth, const QString &boxName, int top, QLabel **label = nullptr);
    void load();
    void popLoginChanged();
    void encodingChanged();
    void apply();

    Settings &m_settings;
    QGroupBox *m_frame1 = nullptr;
    QGroupBox *m_frame2 = nullptr;
    QLabel *m_lblPopServer = nullptr;
    QLineEdit *m_txtServer = nullptr;
    QLineEdit *m_txtPopServer = nullptr;
    QLineEdit *m_txtFromName = nullptr;
    QLineEdit *m_txtFromEmail = nullptr;
    QLineEdit *m_txtUserName = nullptr;
    QLineEdit *m_txtUserPassword = nullptr;
    QRadioButton *m_optMime = nullptr;
    QRadioButton *m_optUUEncode = nullptr;
    QComboBox *m_cmbPriority = nullptr;
    QCheckBox *m_chkHtml = nullptr;
    QCheckBox *m_chkReceipt = nullptr;
    QCheckBox *m_chkLogin = nullptr;
    QCheckBox *m_chkPopLogin = nullptr;
    QPushButton *m_cmdOk = nullptr;
    QPushButton *m_cmdCancel = nullptr;
};

} // namespace corvane
