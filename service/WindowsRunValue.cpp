#include "WindowsRunValue.h"

#include <QDir>
#include <QSettings>

using namespace Qt::StringLiterals;

static const auto runKey =
    u"HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"_s;
static const auto valueName = u"ProxyManager"_s;

QString WindowsRunValue::location() const
{
    return runKey % u'\\' % valueName;
}

bool WindowsRunValue::isEnabled() const
{
    return QSettings(runKey, QSettings::NativeFormat).contains(valueName);
}

bool WindowsRunValue::enable(const QString &program, const QString &workDir)
{
    QSettings run(runKey, QSettings::NativeFormat);
    run.setValue(valueName, commandLine(program, workDir));
    run.sync();
    return run.status() == QSettings::NoError;
}

bool WindowsRunValue::disable()
{
    QSettings run(runKey, QSettings::NativeFormat);
    run.remove(valueName);
    run.sync();
    return !run.contains(valueName);
}

QString WindowsRunValue::commandLine(const QString &program, const QString &workDir)
{
    // Windows names cannot hold quotes, but backslashes before a closing quote escape it
    // unless doubled ("C:\" is C:\ followed by a quote).
    const auto quoted = [](const QString &path) -> QString {
        QString native = QDir::toNativeSeparators(path);
        qsizetype trailing = 0;
        while (trailing < native.size() && native.at(native.size() - 1 - trailing) == u'\\')
            ++trailing;
        return u'"' % native % QString(trailing, u'\\') % u'"';
    };
    return quoted(program) % u' ' % trayArgument() % u" --workdir "_s % quoted(workDir);
}
