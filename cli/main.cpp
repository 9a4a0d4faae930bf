#include "CommandLineClient.h"
#include "OpenFileLimit.h"
#include "ProgramIdentity.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    // Many tests at once need many sockets.
    OpenFileLimit::raiseToHard();
    QCoreApplication app(argc, argv);
    ProgramIdentity::apply();
    CommandLineClient client;
    const int status = client.start(QCoreApplication::arguments());
    return status >= 0 ? status : QCoreApplication::exec();
}
