#pragma once

#include "storage/Settings.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace corvane {

// The dialogs' rules that need no widget.

// Line breaks (CR, LF and the Unicode line and paragraph separators) become
// spaces: every box is single-line, and its text ends up in a mail header or
// a settings line.
QString withoutLineBreaks(const QString &text);

// The priority item shown for a stored Priority: a number without an item
// (only possible from a hand-edited file) shows "Normal".
int priorityItem(std::uint8_t priority);

struct InvalidAddress {
    int list = 0; // 1..8
    int slot = 0; // 1..16
    QString text; // as typed
};

// The first address box, list by list and slot by slot, that CheckEmailAddress
// refuses (empty boxes pass). `typed` holds the boxes exactly as typed.
std::optional<InvalidAddress> firstInvalidAddress(const RecipientListTable &typed);

// "<text> on email list N is not valid.  Please correct before saving."
QString invalidAddressText(const InvalidAddress &invalid);

// Copies the typed names and addresses into `lists`, each trimmed.
void applyTypedLists(RecipientListTable &lists, const RecipientListTable &typed);

// The test dialog's list entries: "List n / " + name, for the eight lists in order.
QStringList testListEntries(const RecipientListTable &lists);

// Message for a settings file that could not be written; `reason` as SaveAllSettings gives it.
QString saveFailureText(const QString &path, const QString &reason);

QString queueFullText();

} // namespace corvane
