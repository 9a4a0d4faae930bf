#include "AuthorizedListEdit.h"

#include "IpAddress.h"
#include "SafeText.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

struct Entry
{
    QHostAddress address;
    int prefix = -1;
};

Entry parsed(const QString &text)
{
    Entry entry;
    if (!IpAddress::parseWithPrefix(text, &entry.address, &entry.prefix))
        return {};
    const int full = entry.address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    if (entry.prefix < 0)
        entry.prefix = full;
    return entry;
}

} // namespace

bool AuthorizedListEdit::covers(const QString &entry, const QHostAddress &address)
{
    const Entry e = parsed(entry);
    return !e.address.isNull() && address.protocol() == e.address.protocol() &&
           address.isInSubnet(e.address, e.prefix);
}

bool AuthorizedListEdit::sameEntry(const QString &a, const QString &b)
{
    const Entry x = parsed(a);
    const Entry y = parsed(b);
    return !x.address.isNull() && x.prefix == y.prefix &&
           x.address.isEqual(y.address, QHostAddress::StrictConversion);
}

AuthorizedListEdit AuthorizedListEdit::apply(const QStringList &read, const QString &current,
                                             const QStringList &additions,
                                             const QStringList &removals)
{
    AuthorizedListEdit edit;
    const QHostAddress own = IpAddress::parse(current);
    const auto listed = [](const QStringList &list, const QString &entry) {
        return std::any_of(list.cbegin(), list.cend(),
                           [&](const QString &other) { return sameEntry(entry, other); });
    };
    for (const QString &addition : additions) {
        if (parsed(addition).address.isNull()) {
            edit.refusal = u"not an address: "_s % SafeText::singleLine(addition, 80);
            return edit;
        }
    }
    for (const QString &removal : removals) {
        if (covers(removal, own)) {
            edit.refusal =
                SafeText::singleLine(removal, 80) % u" covers this computer's address "_s % current;
            return edit;
        }
        if (!listed(read, removal)) {
            edit.refusal = SafeText::singleLine(removal, 80) % u" is not on the list"_s;
            return edit;
        }
    }
    const bool held = std::any_of(read.cbegin(), read.cend(),
                                  [&](const QString &entry) { return sameEntry(entry, current); });
    if (!held)
        edit.written.append(current);
    for (const QString &addition : additions) {
        if (!listed(read, addition) && !listed(edit.written, addition))
            edit.written.append(addition);
    }
    for (const QString &entry : read) {
        if (listed(removals, entry))
            edit.removed.append(entry);
        else
            edit.written.append(entry);
    }
    edit.changes = edit.written != read;
    return edit;
}

AuthorizedListEdit AuthorizedListEdit::keepingListed(const QStringList &read,
                                                     const QString &current,
                                                     const QString &previous)
{
    AuthorizedListEdit edit = apply(read, current, {}, {});
    if (!edit.changes || previous.isEmpty())
        return edit;
    const QStringList removals = replaced(read, current, previous);
    if (!removals.isEmpty())
        edit = apply(read, current, {}, removals);
    return edit;
}

QStringList AuthorizedListEdit::replaced(const QStringList &read, const QString &current,
                                         const QString &previous)
{
    const QHostAddress own = IpAddress::parse(current);
    const QHostAddress old = IpAddress::parse(previous);
    if (old.isNull() || own.isNull() || old.protocol() != own.protocol() || covers(previous, own))
        return {};
    QStringList removals;
    for (const QString &entry : read) {
        // A network entry holding both stays, and so does the previous address then.
        if (covers(entry, own) && covers(entry, old))
            return {};
        if (sameEntry(entry, previous))
            removals.append(entry);
    }
    return removals;
}
