#include "CommandLineClient.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("proxymanager-cli"));
    CommandLineClient client;
    const int status = client.start(QCoreApplication::arguments());
    return status >= 0 ? status : QCoreApplication::exec();
}
