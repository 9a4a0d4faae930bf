#pragma once

#include "ClientConfig.h"

class LoginWindow;
class MainWindow;
class ProxyManager;

// The window's config.ini: the shared values, and how start-up applies them to the windows.
class AppConfig : public ClientConfig
{
public:
    AppConfig() = default;
    explicit AppConfig(const ClientConfig &values) : ClientConfig(values) {}

    // Reads the file without ever creating or writing it.
    static AppConfig load(const QString &fileName = QStringLiteral("config.ini"));

    // Applies the values and wires the windows together, as the start-up does.
    void applyTo(ProxyManager *manager, LoginWindow *login, MainWindow *main) const;
};
