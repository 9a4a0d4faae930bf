#include "OwnAddressRecord.h"

#include "IpAddress.h"

#include <QCryptographicHash>
#include <QSettings>

using namespace Qt::StringLiterals;

OwnAddressRecord::OwnAddressRecord(std::unique_ptr<QSettings> settings)
    : settings(settings ? std::move(settings) : std::make_unique<QSettings>())
{
}

OwnAddressRecord::~OwnAddressRecord() = default;

// A digest keeps the key one plain word, whatever the URL and the user name hold.
QString OwnAddressRecord::key(const QString &apiUrl, const QString &user,
                              QAbstractSocket::NetworkLayerProtocol family)
{
    const QByteArray account = (apiUrl % u'\n' % user).toUtf8();
    return u"ownAddresses/"_s %
           QString::fromLatin1(
               QCryptographicHash::hash(account, QCryptographicHash::Sha256).toHex().left(32)) %
           (family == QAbstractSocket::IPv4Protocol ? u"-v4"_s : u"-v6"_s);
}

QString OwnAddressRecord::lastAdded(const QString &apiUrl, const QString &user,
                                    QAbstractSocket::NetworkLayerProtocol family) const
{
    const QString stored = settings->value(key(apiUrl, user, family)).toString();
    const QHostAddress address = IpAddress::parse(stored);
    return address.protocol() == family ? stored : QString();
}

void OwnAddressRecord::setLastAdded(const QString &apiUrl, const QString &user,
                                    const QString &address)
{
    const QHostAddress parsed = IpAddress::parse(address);
    if (parsed.isNull())
        return;
    settings->setValue(key(apiUrl, user, parsed.protocol()), address);
    settings->sync();
}
