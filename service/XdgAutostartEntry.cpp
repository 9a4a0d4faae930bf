#include "XdgAutostartEntry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

QString XdgAutostartEntry::location() const
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) %
           u"/autostart/proxymanager.desktop"_s;
}

bool XdgAutostartEntry::isEnabled() const
{
    QFile file(location());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    // The session skips an entry the user switched off in its settings.
    constexpr qint64 maxBytes = 64 * 1024;
    const QList<QByteArray> lines = file.read(maxBytes).split('\n');
    return !lines.contains("Hidden=true") && !lines.contains("X-GNOME-Autostart-enabled=false");
}

bool XdgAutostartEntry::enable(const QString &program, const QString &workDir)
{
    const QString path = location();
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    const QString entry = u"[Desktop Entry]\n"
                          u"Type=Application\n"
                          u"Name=ProxyManager\n"
                          u"Comment=Keeps your IP address authorized for your proxies\n"
                          u"Exec="_s %
                          execValue(program) % u"\nPath="_s % escaped(workDir) %
                          u"\n"
                          u"Icon=proxymanager\n"
                          u"Terminal=false\n"
                          u"X-GNOME-Autostart-enabled=true\n"_s;
    file.write(entry.toUtf8());
    return file.commit();
}

bool XdgAutostartEntry::disable()
{
    QFile file(location());
    return !file.exists() || file.remove();
}

QString XdgAutostartEntry::execValue(const QString &program)
{
    // Quoted whole: inside the quotes ", `, $ and \ take a backslash; % starts a field code
    // anywhere, so a literal one is doubled. The string escapes then apply on top.
    QString quoted = u"\""_s;
    for (const QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c == u'%' ? u"%%"_s : QString(c);
    }
    return escaped(quoted % u"\" "_s % trayArgument());
}

QString XdgAutostartEntry::escaped(const QString &value)
{
    QString out;
    for (const QChar c : value) {
        switch (c.unicode()) {
        case u'\\':
            out += u"\\\\"_s;
            break;
        case u'\n':
            out += u"\\n"_s;
            break;
        case u'\t':
            out += u"\\t"_s;
            break;
        case u'\r':
            out += u"\\r"_s;
            break;
        default:
            out += c;
        }
    }
    return out;
}
