#include "HistoryKeys.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

using namespace Qt::StringLiterals;

qint64 HistoryKeys::account(const QString &api, const QString &user, bool make, QString *error)
{
    return lookUp(u"account"_s, u"api = ? AND user = ?"_s, {api, user}, make, error);
}

qint64 HistoryKeys::target(const QString &url, bool make, QString *error)
{
    return lookUp(u"target"_s, u"url = ?"_s, {url}, make, error);
}

qint64 HistoryKeys::entry(qint64 account, const QString &text, bool make, QString *error)
{
    return lookUp(u"entry"_s, u"account = ? AND text = ?"_s, {account, text}, make, error);
}

QHash<QString, qint64> HistoryKeys::entries(qint64 account, QString *error)
{
    QHash<QString, qint64> ids;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(u"SELECT text, id FROM entry WHERE account = ?"_s);
    query.addBindValue(account);
    if (!query.exec()) {
        *error = query.lastError().text();
        return {};
    }
    while (query.next())
        ids.insert(query.value(0).toString(), query.value(1).toLongLong());
    return ids;
}

qint64 HistoryKeys::lookUp(const QString &table, const QString &where, const QVariantList &values,
                           bool make, QString *error)
{
    // Each part behind its length: texts from the service may hold any character.
    QString key = table;
    for (const QVariant &value : values) {
        const QString text = value.toString();
        key += u' ' % QString::number(text.size()) % u':' % text;
    }
    if (const auto found = known.constFind(key); found != known.constEnd())
        return *found;
    QSqlQuery query(db);
    const QString columns =
        where.split(u" AND "_s).replaceInStrings(u" = ?"_s, QString()).join(u", "_s);
    if (make) {
        query.prepare(u"INSERT OR IGNORE INTO "_s % table % u'(' % columns % u") VALUES ("_s %
                      QStringList(values.size(), u"?"_s).join(u", "_s) % u')');
        for (const QVariant &value : values)
            query.addBindValue(value);
        if (!query.exec()) {
            *error = query.lastError().text();
            return 0;
        }
    }
    query.prepare(u"SELECT id FROM "_s % table % u" WHERE "_s % where);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        *error = query.lastError().text();
        return 0;
    }
    if (!query.next())
        return 0;
    const qint64 id = query.value(0).toLongLong();
    known.insert(key, id);
    return id;
}
