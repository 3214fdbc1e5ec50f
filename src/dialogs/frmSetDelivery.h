#pragma once

#include "dialogs/DialogWindow.h"

class QLineEdit;
class QPushButton;
class QSpinBox;

namespace corvane {

struct Settings;

// How messages go out ([Email_Settings]'s CA_File, Retry_Hours,
// Max_Per_Minute and Digest_Seconds); "Apply And Save" copies the controls to
// Settings::AccountSettings and writes the whole settings file.
class frmSetDelivery : public DialogWindow {
    Q_OBJECT
public:
    frmSetDelivery(Settings &settings, QWidget *parent);

signals:
    // The controls were copied to the settings (whether or not the file could
    // be written).
    void deliveryApplied();

private:
    QSpinBox *addCount(const QString &name, const QString &caption, const QString &tip, int top);
    void apply();

    Settings &m_settings;
    QWidget *m_frame1 = nullptr;
    QLineEdit *m_txtCaFile = nullptr;
    QSpinBox *m_txtRetryHours = nullptr;
    QSpinBox *m_txtPerMinute = nullptr;
    QSpinBox *m_txtDigestSeconds = nullptr;
    QPushButton *m_cmdOk = nullptr;
    QPushButton *m_cmdCancel = nullptr;
};

} // namespace corvane
