#pragma once

#include "dialogs/DialogWindow.h"

#include <vector>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace corvane {

struct OAuthFieldInfo;

struct Settings;

// The OAuth sign-in ([Email_OAuth]): a provider and the fields that provider
// needs, as the oauth library's provider table lists them; "Apply And Save"
// copies the controls to Settings::OAuth and writes the whole settings file.
// Proxy's password has a row of its own under Proxy, shown as dots.
class frmSetOAuth : public DialogWindow {
    Q_OBJECT
public:
    frmSetOAuth(Settings &settings, QWidget *parent);

signals:
    // The controls were copied to Settings::OAuth (whether or not the file
    // could be written).
    void oauthApplied();

private:
    struct Row {
        QLabel *label = nullptr;
        QLineEdit *box = nullptr;
    };

    void load();
    void providerChanged();
    void apply();
    // What the box of `field` stands for: Proxy joined with its password.
    QString typed(const OAuthFieldInfo &field) const;

    Settings &m_settings;
    QGroupBox *m_frame1 = nullptr;
    QComboBox *m_cmbProvider = nullptr;
    std::vector<Row> m_rows; // one per OAuthField, in its order
    Row m_proxyPassword;
    std::vector<QString> m_shown; // per field, what load() showed: a value left alone is not applied
    QLabel *m_lblNote = nullptr;
    QPushButton *m_cmdOk = nullptr;
    QPushButton *m_cmdCancel = nullptr;
};

} // namespace corvane
