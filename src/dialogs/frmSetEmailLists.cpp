#include "dialogs/frmSetEmailLists.h"

#include "dialogs/DialogRules.h"

#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTabBar>
#include <QTabWidget>

namespace corvane {

namespace {

constexpr int RowTops[] = {330, 840, 1320, 1830, 2340, 2850, 3330, 3840};

std::size_t at(int number)
{
    return static_cast<std::size_t>(number);
}

} // namespace

frmSetEmailLists::frmSetEmailLists(Settings &settings, QWidget *parent)
    : DialogWindow(QStringLiteral("frmSetEmailLists"), QStringLiteral("Email List Settings"), 6810,
                   6765, parent)
    , m_settings(settings)
{
    m_SSTab1 = new QTabWidget(this);
    m_SSTab1->setObjectName(QStringLiteral("SSTab1"));
    m_SSTab1->tabBar()->setExpanding(false);
    m_SSTab1->setUsesScrollButtons(false); // all eight tabs in one row
    place(m_SSTab1, 120, 150, 6585, 5925);
    // The tab control is drawn like a plain control, dark text on the light
    // face, not in the window's grey.
    QPalette face = QApplication::palette(m_SSTab1);
    face.setColor(QPalette::WindowText, Qt::black);
    m_SSTab1->setPalette(face);
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n)
        buildPage(n);
    m_SSTab1->setCurrentIndex(0);

    m_cmdOk = makeButton(QStringLiteral("cmdOk"), QStringLiteral("Apply And Save"), this);
    place(m_cmdOk, 1800, 6180, 1515, 465);
    m_cmdCancel = makeButton(QStringLiteral("cmdCancel"), QStringLiteral("Cancel"), this);
    place(m_cmdCancel, 3510, 6180, 1515, 465);

    // The tab row takes its turn between the second and third boxes of list 8.
    QList<QWidget *> order;
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n) {
        order << m_txtName[at(n)];
        for (int k = RecipientList::FirstSlot; k <= RecipientList::LastSlot; ++k) {
            order << m_txtEmail[at(n)][at(k)];
            if (n == RecipientListTable::LastList && k == 2)
                order << m_SSTab1->tabBar();
        }
    }
    order << m_cmdOk << m_cmdCancel;
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(m_cmdOk, &QPushButton::clicked, this, &frmSetEmailLists::apply);
    connect(m_cmdCancel, &QPushButton::clicked, this, &QWidget::close);

    load();
    m_txtName[at(RecipientListTable::FirstList)]->setFocus(Qt::OtherFocusReason);
}

void frmSetEmailLists::buildPage(int n)
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("List%1Page").arg(n));
    m_pages[at(n)] = page;

    const QFont frameFont = legacyFont(8.25, true);
    const QFont boxFont = legacyFont(9.75, false);

    // Placed relative to the tab control's corner; showEvent moves them onto the page.
    auto *frame1 = new QGroupBox(QStringLiteral("Email List Name"), page);
    frame1->setObjectName(QStringLiteral("Frame1(%1)").arg(n));
    frame1->setFont(frameFont);
    place(frame1, 180, 450, 6225, 735);
    QLineEdit *name = makeLineEdit(QStringLiteral("txtName(%1)").arg(n), frame1);
    name->setFont(boxFont);
    place(name, 1890, 210, 2235, 345);
    m_txtName[at(n)] = name;

    auto *frame2 = new QGroupBox(QStringLiteral("Email Addresses"), page);
    frame2->setObjectName(QStringLiteral("Frame2(%1)").arg(n));
    frame2->setFont(frameFont);
    place(frame2, 180, 1230, 6225, 4425);
    for (int k = RecipientList::FirstSlot; k <= RecipientList::LastSlot; ++k) {
        QLineEdit *box = makeLineEdit(QStringLiteral("txtList%1Email(%2)").arg(n).arg(k), frame2);
        box->setFont(boxFont);
        const int row = (k - 1) % 8;
        place(box, k <= 8 ? 150 : 3180, RowTops[row], 2895, 390);
        m_txtEmail[at(n)][at(k)] = box;
    }

    m_SSTab1->addTab(page, QStringLiteral("List %1").arg(n));
}

void frmSetEmailLists::showEvent(QShowEvent *event)
{
    if (!m_pagesPlaced) {
        // Only now does the tab control know where its pages begin.
        m_pagesPlaced = true;
        const QPoint pageOrigin = m_SSTab1->currentWidget()->mapTo(m_SSTab1, QPoint(0, 0));
        for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n) {
            for (QGroupBox *frame : m_pages[at(n)]->findChildren<QGroupBox *>(
                     QString(), Qt::FindDirectChildrenOnly))
                frame->move(frame->pos() - pageOrigin);
        }
    }
    DialogWindow::showEvent(event);
}

void frmSetEmailLists::load()
{
    const RecipientListTable &lists = m_settings.RecipientLists;
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n) {
        m_txtName[at(n)]->setText(lists[n].Name);
        for (int k = RecipientList::FirstSlot; k <= RecipientList::LastSlot; ++k)
            m_txtEmail[at(n)][at(k)]->setText(lists[n].Addresses.at(at(k)));
    }
}

RecipientListTable frmSetEmailLists::typedLists() const
{
    RecipientListTable typed;
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n) {
        typed[n].Name = m_txtName[at(n)]->text();
        for (int k = RecipientList::FirstSlot; k <= RecipientList::LastSlot; ++k)
            typed[n].Addresses.at(at(k)) = m_txtEmail[at(n)][at(k)]->text();
    }
    return typed;
}

void frmSetEmailLists::apply()
{
    const RecipientListTable typed = typedLists();
    if (const std::optional<InvalidAddress> invalid = firstInvalidAddress(typed)) {
        showMessage(QMessageBox::Information, QStringLiteral("Invalid Email Address!"),
                    invalidAddressText(*invalid));
        return;
    }
    applyTypedLists(m_settings.RecipientLists, typed);
    saveAndClose(m_settings);
}

int frmSetEmailLists::pageOf(const QWidget *widget) const
{
    for (const QWidget *w = widget; w && w != this; w = w->parentWidget()) {
        for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n) {
            if (w == m_pages[at(n)])
                return n - 1;
        }
    }
    return -1;
}

bool frmSetEmailLists::focusNextPrevChild(bool next)
{
    // A page being hidden with the focus on it asks here too; only a move from
    // a shown control may turn the page.
    QWidget *from = QApplication::focusWidget();
    if (!from || from->window() != this || !from->isVisible())
        return DialogWindow::focusNextPrevChild(next);
    QWidget *w = from;
    // The chain is finite and circular; the bound only guards against a broken one.
    for (int steps = 0; steps < 1000; ++steps) {
        w = next ? w->nextInFocusChain() : w->previousInFocusChain();
        if (w == from)
            break;
        if ((w->focusPolicy() & Qt::TabFocus) != Qt::TabFocus || w->focusProxy() || !w->isEnabled())
            continue;
        const int page = pageOf(w);
        if (page >= 0 ? !w->isVisibleTo(m_pages[at(page + 1)]) : !w->isVisible())
            continue;
        if (page >= 0 && page != m_SSTab1->currentIndex())
            m_SSTab1->setCurrentIndex(page);
        w->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
        return true;
    }
    return false;
}

} // namespace corvane
