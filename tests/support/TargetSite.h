#pragma once

#include "DemoService.h"

// A site of the user's own choosing, for tests against a custom target: /shop (declared as
// ISO-8859-1, holds "Café"), /forbidden (403), /moved (a portal's redirect) and /ip, which
// answers the caller's address as plain text. Anything else is a 404.
class TargetSite : public DemoService
{
    Q_OBJECT

public:
    explicit TargetSite(QObject *parent = nullptr);

    static QByteArray shopPage() { return "<html><body>Willkommen im Caf\xe9</body></html>"; }
    static QString portal() { return QStringLiteral("http://portal.example/login?from=shop"); }
};
