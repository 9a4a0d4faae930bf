#pragma once

#include <QTemporaryDir>

// Points the per-user settings (in INI files, on every system) and the XDG configuration
// folder, which holds the autostart entries, at a temporary folder for the test process and
// the programs it starts, under the program's own names: no test reads or writes the user's.
class TemporarySettings
{
public:
    TemporarySettings();
    Q_DISABLE_COPY(TemporarySettings)

    // As at the program's first start.
    void clear();

private:
    QTemporaryDir dir;
};
