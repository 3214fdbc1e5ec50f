#pragma once

#include "dialogs/DialogWindow.h"
#include "storage/Settings.h"

#include <array>

class QLineEdit;
class QPushButton;
class QTabWidget;

namespace corvane {

// The eight recipient lists, one page each. "Apply And Save" checks every
// address box, and only when all pass copies them into RecipientLists and
// writes the whole settings file.
class frmSetEmailLists : public DialogWindow {
    Q_OBJECT
public:
    frmSetEmailLists(Settings &settings, QWidget *parent);

protected:
    // Tab and Shift+Tab follow the lists in order, turning the page when the
    // next box lies on another list's page.
    bool focusNextPrevChild(bool next) override;
    void showEvent(QShowEvent *event) override;

private:
    static constexpr std::size_t Lists = RecipientListTable::LastList + 1;
    static constexpr std::size_t Slots = RecipientList::LastSlot + 1;

    void buildPage(int n);
    void load();
    RecipientListTable typedLists() const;
    void apply();
    int pageOf(const QWidget *widget) const;

    Settings &m_settings;
    QTabWidget *m_SSTab1 = nullptr;
    std::array<QWidget *, Lists> m_pages{};
    std::array<QLineEdit *, Lists> m_txtName{};
    std::array<std::array<QLineEdit *, Slots>, Lists> m_txtEmail{};
    QPushButton *m_cmdOk = nullptr;
    QPushButton *m_cmdCancel = nullptr;
    bool m_pagesPlaced = false;
};

} // namespace corvane
