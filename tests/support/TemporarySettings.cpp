#include "TemporarySettings.h"

#include "ProgramIdentity.h"

#include <QDir>
#include <QSettings>

TemporarySettings::TemporarySettings()
{
    ProgramIdentity::apply();
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
}

void TemporarySettings::clear()
{
    QSettings().clear();
    QDir(dir.filePath(QStringLiteral("autostart"))).removeRecursively();
}
