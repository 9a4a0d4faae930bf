#pragma once

#include <QHostAddress>
#include <QString>

#include <memory>

class QSettings;

// The address this program itself added last to an account's authorized list, from this
// machine, one per address family: a dual-stack machine keeps an IPv4 and an IPv6 one.
class OwnAddressRecord
{
public:
    // Null settings: the program's default ones.
    explicit OwnAddressRecord(std::unique_ptr<QSettings> settings = nullptr);
    ~OwnAddressRecord();

    // account: the API address and the user name together name it.
    QString lastAdded(const QString &apiUrl, const QString &user,
                      QAbstractSocket::NetworkLayerProtocol family) const;
    void setLastAdded(const QString &apiUrl, const QString &user, const QString &address);

private:
    static QString key(const QString &apiUrl, const QString &user,
                       QAbstractSocket::NetworkLayerProtocol family);

    std::unique_ptr<QSettings> settings;
};
