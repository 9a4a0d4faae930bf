#pragma once

#include <QString>
#include <QStringList>

// The desktop program's own command-line options; anything else is left to Qt.
//   --tray         with a saved login, log in and stay in the tray (started with the session)
//   --workdir DIR  work in DIR, where config.ini and log.txt are (a Windows Run value has none)
//   --forget       delete the saved login and the settings, then exit
class StartOptions
{
public:
    static StartOptions parse(const QStringList &arguments);

    bool tray = false;
    bool forget = false;
    QString workDir;
    // Non-empty when an option is malformed.
    QString error;
};
