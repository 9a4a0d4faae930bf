#pragma once

#include <QString>

class LoginWindow;
class MainWindow;
class ProxyManager;

// The four values of config.ini. An empty value counts as absent.
class AppConfig
{
public:
    // Reads the file without ever creating or writing it.
    static AppConfig load(const QString &fileName = QStringLiteral("config.ini"));

    // Applies the values and wires the windows together, as the start-up does.
    void applyTo(ProxyManager *manager, LoginWindow *login, MainWindow *main) const;

    QString apiUrl;
    QString pingUrl;
    QString titleText;
    QString logoUrl;
};
