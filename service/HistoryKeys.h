#pragma once

#include <QHash>
#include <QSqlDatabase>
#include <QString>

// The integer ids behind the history's account, target and entry texts, looked up once and
// kept: a result row holds only ids. Ids are never reused, so another process's rows agree.
class HistoryKeys
{
public:
    explicit HistoryKeys(const QSqlDatabase &db) : db(db) {}

    // 0 when missing and not made, or on a database error (error says which).
    qint64 account(const QString &api, const QString &user, bool make, QString *error);
    qint64 target(const QString &url, bool make, QString *error);
    qint64 entry(qint64 account, const QString &text, bool make, QString *error);
    // Every entry of the account, text to id.
    QHash<QString, qint64> entries(qint64 account, QString *error);

private:
    qint64 lookUp(const QString &table, const QString &where, const QVariantList &values, bool make,
                  QString *error);

    QSqlDatabase db;
    QHash<QString, qint64> known;
};
