#include "app/MDIMain.h"

#include "dispatch/SendEvents.h"

#include "app/BandStyle.h"
#include "app/Service.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDockWidget>
#include <QGroupBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListWidget>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>

static void initCorvaneResources()
{
    // The icons live in a static library; its resources must be registered by hand.
    Q_INIT_RESOURCE(corvane);
}

#include <algorithm>

namespace corvane {

namespace {

const QColor PanelGrey(64, 64, 64);
const QColor ClockCyan(0, 255, 255);

QFont legacyFont(qreal pointSize)
{
    // The layout was drawn for MS Sans Serif; take the closest sans-serif face
    // the system has rather than Qt's arbitrary default.
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial"), QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    font.setBold(true);
    return font;
}

void place(QWidget *widget, int left, int top, int width, int height)
{
    widget->setGeometry(MDIMain::twips(left), MDIMain::twips(top), MDIMain::twips(width),
                        MDIMain::twips(height));
}

QLabel *clockLabel(const QString &name, const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setAutoFillBackground(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, Qt::black);
    palette.setColor(QPalette::WindowText, ClockCyan);
    label->setPalette(palette);
    label->setFont(legacyFont(9.75));
    return label;
}

std::size_t slot(MDIMain::Dialog dialog)
{
    return static_cast<std::size_t>(dialog);
}

} // namespace

MDIMain::MDIMain(Service &service, QWidget *parent)
    : QMainWindow(parent)
    , m_style(std::make_unique<BandStyle>())
    , m_service(service)
{
    initCorvaneResources();
    setStyle(m_style.get());
    setObjectName(QStringLiteral("MDIMain"));
    setWindowTitle(QStringLiteral("Corvane"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/corvane/corvane-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/corvane/corvane-32.png"), QSize(32, 32));
    setWindowIcon(icon);

    m_mdiArea = new QMdiArea(this);
    m_mdiArea->setObjectName(QStringLiteral("mdiArea"));
    setCentralWidget(m_mdiArea);

    buildTopPanel();
    buildMenus();
    resize(twips(11055), twips(8160) + menuBar()->sizeHint().height());

    connect(&m_service, &Service::clockTicked, this, &MDIMain::showClock);
    connect(&m_service, &Service::statusCleared, this, &MDIMain::clearStatus);
    connect(&m_service, &Service::statusLineAppended, this, &MDIMain::appendStatusLine);
    connect(&m_service, &Service::progressTextChanged, this, &MDIMain::showProgress);
    connect(&m_service, &Service::deferredCountChanged, this, &MDIMain::showDeferred);
    connect(&m_service, &Service::digestWaitingChanged, this, &MDIMain::showDigestWaiting);

    m_statusRepaint.setSingleShot(true);
    connect(&m_statusRepaint, &QTimer::timeout, this, &MDIMain::repaintStatusArea);
}

MDIMain::~MDIMain()
{
    // m_style goes before the QMainWindow part is torn down; the window must
    // not be left pointing at it.
    setStyle(nullptr);
}

void MDIMain::buildTopPanel()
{
    // Docked above the MDI area across the full width, as a fixed band that
    // neither moves nor resizes.
    auto *dock = new QDockWidget(this);
    dock->setObjectName(QStringLiteral("Picture1Dock"));
    dock->setFeatures(QDockWidget::NoDockWidgetFeatures);
    dock->setTitleBarWidget(new QWidget(dock));
    addDockWidget(Qt::TopDockWidgetArea, dock);

    m_picture1 = new QWidget(dock);
    m_picture1->setObjectName(QStringLiteral("Picture1"));
    m_picture1->setAutoFillBackground(true);
    m_picture1->setFixedHeight(twips(1905));
    m_picture1->setMinimumWidth(twips(2790 + 4545 + 150));
    QPalette panel = m_picture1->palette();
    panel.setColor(QPalette::Window, PanelGrey);
    panel.setColor(QPalette::WindowText, Qt::white);
    m_picture1->setPalette(panel);
    dock->setWidget(m_picture1);

    m_frame1 = new QGroupBox(QStringLiteral("Date / Time"), m_picture1);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    place(m_frame1, 150, 120, 2535, 1575);

    m_lblDate = clockLabel(QStringLiteral("lblDate"), QString(), m_frame1);
    place(m_lblDate, 540, 390, 1575, 345);
    m_lblTime = clockLabel(QStringLiteral("lblTime"), QStringLiteral("00:00:00"), m_frame1);
    place(m_lblTime, 540, 900, 1575, 345);

    m_frame2 = new QGroupBox(QStringLiteral("Email Status"), m_picture1);
    m_frame2->setObjectName(QStringLiteral("Frame2"));
    place(m_frame2, 2790, 120, 4545, 1575);

    m_lstStatus = new QListWidget(m_frame2);
    m_lstStatus->setObjectName(QStringLiteral("lstStatus"));
    m_lstStatus->setSelectionMode(QAbstractItemView::SingleSelection);
    // Long lines are cut at the edge rather than taking a third of the small
    // list for a scroll bar; the log keeps them whole.
    m_lstStatus->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Every line is one line of the same font. Without this the view measures
    // (shapes) the text of every item again each time one is added, which
    // made the list the most expensive part of a burst of messages. Eliding
    // would then depend on the first line's width; cutting at the edge does not.
    m_lstStatus->setUniformItemSizes(true);
    m_lstStatus->setTextElideMode(Qt::ElideNone);
    // The newest line is brought into view when the list lays itself out
    // (before it is drawn, or when asked where an item is), not at every line:
    // scrolling at once lays out the whole list each time. A scroll by the
    // operator stops the following until the next line arrives.
    QScrollBar *scrollBar = m_lstStatus->verticalScrollBar();
    connect(scrollBar, &QScrollBar::rangeChanged, this, [this](int, int maximum) {
        if (m_followNewestLine)
            m_lstStatus->verticalScrollBar()->setValue(maximum);
    });
    connect(scrollBar, &QScrollBar::actionTriggered, this, [this] { m_followNewestLine = false; });
    QPalette list = m_lstStatus->palette();
    list.setColor(QPalette::Base, list.color(QPalette::Button));
    list.setColor(QPalette::Text, list.color(QPalette::ButtonText));
    m_lstStatus->setPalette(list);
    place(m_lstStatus, 180, 240, 4200, 1035);

    m_lblProgress = new QLabel(QStringLiteral("Progress  "), m_frame2);
    m_lblProgress->setObjectName(QStringLiteral("lblProgress"));
    m_lblProgress->setFont(legacyFont(8.25));
    place(m_lblProgress, 1770, 1290, 870, 195);
    // The placed size was measured in the old program's font; where another
    // font stands in for it, the label grows to the right and down so that its
    // longest text still shows whole. A fixed size: a new text then only
    // repaints the label instead of asking its parent to lay out again.
    const QFontMetrics metrics(m_lblProgress->font());
    const QMargins margins = m_lblProgress->contentsMargins();
    const int longest = std::max(metrics.horizontalAdvance(SendEvents::progressText(100)),
                                 metrics.horizontalAdvance(QStringLiteral("Next try 00:00:00")));
    const int needWidth = longest + metrics.averageCharWidth() + margins.left() + margins.right();
    const int needHeight = metrics.height() + margins.top() + margins.bottom();
    m_lblProgress->setFixedSize(std::max(m_lblProgress->width(), needWidth),
                                std::max(m_lblProgress->height(), needHeight));

    // Left of the progress, under the list: empty while nothing waits.
    m_lblDeferred = new QLabel(QString(), m_frame2);
    m_lblDeferred->setObjectName(QStringLiteral("lblDeferred"));
    m_lblDeferred->setFont(legacyFont(8.25));
    place(m_lblDeferred, 180, 1290, 1500, 195);
    m_lblDeferred->setFixedSize(m_lblDeferred->width(), m_lblProgress->height());
}

void MDIMain::buildMenus()
{
    QMenuBar *bar = menuBar();

    QMenu *menuFile = bar->addMenu(QStringLiteral("File"));
    menuFile->setObjectName(QStringLiteral("menuFile"));
    QAction *menuFileExit = menuFile->addAction(QStringLiteral("Exit"));
    menuFileExit->setObjectName(QStringLiteral("menuFileExit"));
    connect(menuFileExit, &QAction::triggered, &m_service, &Service::exitWithoutLog);

    QMenu *menuSet = bar->addMenu(QStringLiteral("Settings"));
    menuSet->setObjectName(QStringLiteral("menuSet"));
    QAction *menuSetEmailLists = menuSet->addAction(QStringLiteral("Email Lists"));
    menuSetEmailLists->setObjectName(QStringLiteral("menuSetEmailLists"));
    connect(menuSetEmailLists, &QAction::triggered, this, [this] { showDialog(Dialog::EmailLists); });
    QAction *menuSetEmailAccount = menuSet->addAction(QStringLiteral("Sending Email Account"));
    menuSetEmailAccount->setObjectName(QStringLiteral("menuSetEmailAccount"));
    connect(menuSetEmailAccount, &QAction::triggered, this,
            [this] { showDialog(Dialog::EmailAccount); });
    QAction *menuSetOAuth = menuSet->addAction(QStringLiteral("OAuth Sign-In"));
    menuSetOAuth->setObjectName(QStringLiteral("menuSetOAuth"));
    connect(menuSetOAuth, &QAction::triggered, this, [this] { showDialog(Dialog::OAuth); });
    QAction *menuSetDelivery = menuSet->addAction(QStringLiteral("Delivery"));
    menuSetDelivery->setObjectName(QStringLiteral("menuSetDelivery"));
    connect(menuSetDelivery, &QAction::triggered, this, [this] { showDialog(Dialog::Delivery); });

    QMenu *menuTest = bar->addMenu(QStringLiteral("Test"));
    menuTest->setObjectName(QStringLiteral("menuTest"));
    QAction *menuTestEmail = menuTest->addAction(QStringLiteral("Test Email"));
    menuTestEmail->setObjectName(QStringLiteral("menuTestEmail"));
    connect(menuTestEmail, &QAction::triggered, this, [this] { showDialog(Dialog::EmailTest); });

    // A top-level item without a sub-menu that does nothing when chosen.
    QAction *menuAbout = bar->addAction(QStringLiteral("About"));
    menuAbout->setObjectName(QStringLiteral("menuAbout"));
}

void MDIMain::setDialogFactory(Dialog dialog, DialogFactory factory)
{
    m_dialogFactories[slot(dialog)] = std::move(factory);
}

QWidget *MDIMain::dialogInstance(Dialog dialog) const
{
    return m_dialogs[slot(dialog)].data();
}

void MDIMain::showDialog(Dialog dialog)
{
    QPointer<QWidget> &instance = m_dialogs[slot(dialog)];
    if (!instance) {
        const DialogFactory &factory = m_dialogFactories[slot(dialog)];
        if (!factory)
            return;
        instance = factory(this);
        if (!instance)
            return;
    }
    instance->show();
    instance->raise();
    instance->activateWindow();
    // The control that has (or starts with) the focus keeps it; only a window
    // without any takes the focus itself.
    if (QWidget *control = instance->focusWidget())
        control->setFocus(Qt::ActiveWindowFocusReason);
    else
        instance->setFocus(Qt::ActiveWindowFocusReason);
}

void MDIMain::showClock(const QDateTime &now)
{
    m_lblDate->setText(Service::dateText(now));
    m_lblTime->setText(Service::timeText(now));
}

void MDIMain::holdStatusRepaint()
{
    // A burst of messages changes the list and the label a thousand times a
    // second; drawing them that often costs more than sending. The widgets
    // take every change at once (they always hold the current lines), but the
    // area is drawn at most once per screen frame.
    if (m_statusRepaint.isActive())
        return; // already held; the timer draws everything
    if (m_statusPainted.isValid() && m_statusPainted.elapsed() < StatusFrameMs) {
        m_frame2->setUpdatesEnabled(false);
        m_statusRepaint.start(static_cast<int>(StatusFrameMs - m_statusPainted.elapsed()));
        return;
    }
    m_statusPainted.start(); // this change is drawn in the coming event-loop round
}

void MDIMain::repaintStatusArea()
{
    m_frame2->setUpdatesEnabled(true); // schedules the repaint of the whole area
    m_statusPainted.start();
}

void MDIMain::clearStatus()
{
    holdStatusRepaint();
    m_lstStatus->clear();
    m_digestLine = nullptr;
    showDigestWaiting(m_digestWaiting);
}

void MDIMain::showProgress(const QString &text)
{
    holdStatusRepaint();
    m_lblProgress->setText(text);
}

void MDIMain::showDeferred(int count)
{
    holdStatusRepaint();
    m_lblDeferred->setText(count > 0 ? QStringLiteral("%1 deferred").arg(count) : QString());
}

void MDIMain::showDigestWaiting(int count)
{
    holdStatusRepaint();
    m_digestWaiting = count;
    if (count <= 0) {
        delete m_digestLine; // leaves the list
        m_digestLine = nullptr;
        return;
    }
    if (!m_digestLine) {
        m_digestLine = new QListWidgetItem;
        if (m_statusLineSize.isValid())
            m_digestLine->setSizeHint(m_statusLineSize);
        m_lstStatus->insertItem(0, m_digestLine);
    }
    m_digestLine->setText(count == 1 ? QStringLiteral("1 alarm waiting for a digest")
                                     : QStringLiteral("%1 alarms waiting for a digest").arg(count));
}

void MDIMain::appendStatusLine(const QString &line)
{
    holdStatusRepaint();
    auto *item = new QListWidgetItem(line);
    // Every line is as tall as the first one measured; handing that size to
    // each item spares the view measuring (shaping) a line at every layout.
    if (m_statusLineSize.isValid())
        item->setSizeHint(m_statusLineSize);
    m_lstStatus->addItem(item);
    if (!m_statusLineSize.isValid() && !line.isEmpty())
        m_statusLineSize = QSize(0, m_lstStatus->sizeHintForRow(m_lstStatus->count() - 1));
    // Scrolled into view (see m_followNewestLine) but not left highlighted:
    // the list is a read-out, not a choice.
    m_followNewestLine = true;
    if (m_lstStatus->selectionModel()->hasSelection())
        m_lstStatus->clearSelection();
}

void MDIMain::closeEvent(QCloseEvent *event)
{
    m_service.requestClose();
    event->accept();
}

} // namespace corvane
