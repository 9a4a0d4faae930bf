#pragma once

#include "ProxyManager.h"

#include <QString>
#include <QStringList>

class ApiClient;
class QNetworkReply;

// What the answer to a list request says: the list, or the one "ERROR" line shown in its place
// and why the request failed.
struct ProxyListAnswer
{
    QStringList shown;
    bool failed = false;
    ProxyManager::FailureKind kind = ProxyManager::FailureKind::ServiceError;
    QString reason;

    static ProxyListAnswer read(QNetworkReply *reply, const ApiClient &api);
};
