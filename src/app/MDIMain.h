#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QSize>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>

class QCloseEvent;
class QDateTime;
class QGroupBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QMdiArea;
class QStyle;

namespace corvane {

class Service;

// The main window: a clock, the status lines and progress of the message being
// sent, and the menus. It holds no logic of its own; everything it shows comes
// from the Service it is given, and its close request goes back to it.
class MDIMain : public QMainWindow {
    Q_OBJECT
public:
    enum class Dialog { EmailLists, EmailAccount, EmailTest, OAuth, Delivery };
    static constexpr std::size_t DialogCount = 5;
    // Makes a dialog's instance; the window shows it modeless, gives it the
    // focus and keeps it as the single instance until it is destroyed (the
    // dialog sets Qt::WA_DeleteOnClose to be released when it closes).
    using DialogFactory = std::function<QWidget *(QWidget *parent)>;

    explicit MDIMain(Service &service, QWidget *parent = nullptr);
    ~MDIMain() override;

    void setDialogFactory(Dialog dialog, DialogFactory factory);
    QWidget *dialogInstance(Dialog dialog) const;

    // Layout figures are designed in twips; 15 twips make one pixel before
    // Qt's own high-DPI scaling.
    static constexpr int twips(int value) { return value / 15; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildTopPanel();
    void buildMenus();
    void showDialog(Dialog dialog);
    void showClock(const QDateTime &now);
    void clearStatus();
    void appendStatusLine(const QString &line);
    void showProgress(const QString &text);
    void showDeferred(int count);
    void showDigestWaiting(int count);
    void holdStatusRepaint();
    void repaintStatusArea();

    // About one screen frame: the status area is not drawn more often.
    static constexpr qint64 StatusFrameMs = 16;

    std::unique_ptr<QStyle> m_style;
    Service &m_service;
    QMdiArea *m_mdiArea = nullptr;
    QWidget *m_picture1 = nullptr;
    QGroupBox *m_frame1 = nullptr;
    QGroupBox *m_frame2 = nullptr;
    QLabel *m_lblDate = nullptr;
    QLabel *m_lblTime = nullptr;
    QListWidget *m_lstStatus = nullptr;
    QLabel *m_lblProgress = nullptr;
    QLabel *m_lblDeferred = nullptr; // how many messages wait for a later try
    // lstStatus's first line while alarms wait in open digest windows, kept
    // across the clearing before each send.
    QListWidgetItem *m_digestLine = nullptr;
    int m_digestWaiting = 0;
    bool m_followNewestLine = false; // keep lstStatus scrolled to its last line
    QSize m_statusLineSize;          // of one lstStatus line, once measured
    QElapsedTimer m_statusPainted;   // when the status area was last let draw
    QTimer m_statusRepaint;          // runs while the area's drawing is held

    std::array<DialogFactory, DialogCount> m_dialogFactories;
    std::array<QPointer<QWidget>, DialogCount> m_dialogs;
};

} // namespace corvane
