#include "dialogs/DialogRules.h"

#include "intake/NotificationQueue.h"

namespace corvane {

QString withoutLineBreaks(const QString &text)
{
    QString flat = text;
    for (QChar &ch : flat) {
        const char16_t c = ch.unicode();
        if (c == u'\r' || c == u'\n' || c == u'\u2028' || c == u'\u2029')
            ch = QLatin1Char(' ');
    }
    return flat;
}

int priorityItem(std::uint8_t priority)
{
    return priority <= 2 ? priority : 0;
}

std::optional<InvalidAddress> firstInvalidAddress(const RecipientListTable &typed)
{
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n) {
        for (int k = RecipientList::FirstSlot; k <= RecipientList::LastSlot; ++k) {
            const QString &text = typed[n].Addresses.at(static_cast<std::size_t>(k));
            if (!CheckEmailAddress(text, true))
                return InvalidAddress{n, k, text};
        }
    }
    return std::nullopt;
}

QString invalidAddressText(const InvalidAddress &invalid)
{
    return invalid.text
           + QStringLiteral(" on email list %1 is not valid.  Please correct before saving.")
                 .arg(invalid.list);
}

void applyTypedLists(RecipientListTable &lists, const RecipientListTable &typed)
{
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n)
        lists[n].Name = trimSpaces(typed[n].Name);
    for (int k = RecipientList::FirstSlot; k <= RecipientList::LastSlot; ++k) {
        const auto slot = static_cast<std::size_t>(k);
        for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n)
            lists[n].Addresses.at(slot) = trimSpaces(typed[n].Addresses.at(slot));
    }
}

QStringList testListEntries(const RecipientListTable &lists)
{
    QStringList entries;
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n)
        entries << QStringLiteral("List %1 / ").arg(n) + lists[n].Name;
    return entries;
}

QString saveFailureText(const QString &path, const QString &reason)
{
    return QStringLiteral("The settings are in use now, but they could not be saved to the "
                          "settings file %1, so they will be lost when Corvane ends.\n\n%2")
        .arg(path, reason);
}

QString queueFullText()
{
    return QStringLiteral("The message queue is full, so this test message was not queued. "
                          "Try again once the queued messages have been sent.");
}

} // namespace corvane
