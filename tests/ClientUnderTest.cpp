#include "ClientUnderTest.h"

#include "TestEnvironment.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

ClientUnderTest::ClientUnderTest(TestEnvironment &env, AppConfig config)
    : manager(new ProxyManager()), login(nullptr), main(nullptr)
{
    login.proxyManager = manager;
    main.proxyManager = manager;
    if (config.apiUrl.isEmpty())
        config.apiUrl = env.service.apiUrl().toString();
    if (config.pingUrl.isEmpty())
        config.pingUrl = env.service.pingUrl().toString();
    manager->timeoutMs = 1500;
    manager->apiTimeoutMs = 3000;
    login.logoTimeoutMs = 3000;
    config.applyTo(manager, &login, &main);
}

ClientUnderTest::~ClientUnderTest()
{
    delete manager;
}

bool ClientUnderTest::logIn(const QString &user, const QString &pass)
{
    loginChild<QLineEdit>("username")->setText(user);
    loginChild<QLineEdit>("password")->setText(pass);
    QTest::mouseClick(loginChild<QPushButton>("pushButton"), Qt::LeftButton);
    const auto *error = loginChild<QLabel>("error_label");
    return QTest::qWaitFor([&] { return main.isVisible() || !error->text().isEmpty(); }, 5000) &&
           main.isVisible();
}
