#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

// What a write of the authorized list stores, from a read that passed every check: the read
// in its order without the removed entries, the user's address first when it is missing, and
// the added addresses that are not listed yet. Nothing is ever removed that covers the user's
// address: the write would lock this machine out.
class AuthorizedListEdit
{
public:
    // read: the entries as read; current: the user's address (canonical text).
    static AuthorizedListEdit apply(const QStringList &read, const QString &current,
                                    const QStringList &additions, const QStringList &removals);
    // The write of a round that keeps current listed: current added when missing, and then
    // previous, the address this program added last (empty: none), replaced.
    static AuthorizedListEdit keepingListed(const QStringList &read, const QString &current,
                                            const QString &previous);
    // The entries to drop so that previous, an address this program added before, leaves the
    // list with current's arrival: none when it is current, covers it, or shares a network entry
    // with it, and only entries naming previous itself.
    static QStringList replaced(const QStringList &read, const QString &current,
                                const QString &previous);
    // The entry (an address, optionally with a prefix) is the address or a network holding it.
    static bool covers(const QString &entry, const QHostAddress &address);
    // Both name the same address with the same prefix, a full-length one counting as none.
    static bool sameEntry(const QString &a, const QString &b);

    QStringList written;
    // The read's entries left out, as read.
    QStringList removed;
    // Why the edit is refused (nothing may be written); empty when it is not.
    QString refusal;
    // written differs from the read.
    bool changes = false;
};
