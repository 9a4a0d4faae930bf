#include "TinyProxy.h"

#include "TestEnvironment.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>
#include <sys/prctl.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int kStartAttempts = 3;
constexpr int kReadyTimeoutMs = 5000;

QString refusalPage(const QString &clientIp)
{
    return u"<html>\n<head><title>Access denied</title></head>\n<body>\n"
           "<h1>Access denied</h1>\n"_s +
           TinyProxy::refusalMarker(clientIp) + u"\n</body>\n</html>\n"_s;
}

} // namespace

TinyProxy::TinyProxy() = default;

TinyProxy::~TinyProxy()
{
    stop();
}

QString TinyProxy::executable()
{
    QString path = QStandardPaths::findExecutable(u"tinyproxy"_s);
    if (path.isEmpty()) {
        // Debian once put it in sbin, which a test's PATH may lack.
        path = QStandardPaths::findExecutable(u"tinyproxy"_s,
                                              {u"/usr/sbin"_s, u"/usr/local/sbin"_s, u"/sbin"_s});
    }
    return path;
}

QString TinyProxy::version()
{
    const QString program = executable();
    if (program.isEmpty())
        return {};
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, {u"-v"_s});
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(1000);
        return {};
    }
    // Prints "tinyproxy 1.11.1".
    const QString text = QString::fromLocal8Bit(process.readAll()).trimmed();
    const qsizetype space = text.lastIndexOf(u' ');
    return space < 0 ? text : text.mid(space + 1);
}

QString TinyProxy::refusalMarker(const QString &clientIp)
{
    return u"<p>Please ensure this IP is set in your Authorized IP list: <b>"_s + clientIp +
           u"</b></p>"_s;
}

QString TinyProxy::entry() const
{
    return TestEnvironment::entryOf(m_port);
}

QString TinyProxy::configPath() const
{
    return m_dir ? m_dir->filePath(u"tinyproxy.conf"_s) : QString();
}

QString TinyProxy::log() const
{
    if (!m_dir)
        return {};
    QFile file(m_dir->filePath(u"tinyproxy.log"_s));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll());
}

bool TinyProxy::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

bool TinyProxy::start(Mode mode)
{
    stop();
    m_mode = mode;
    m_error.clear();
    const QString program = executable();
    if (program.isEmpty()) {
        m_error = u"tinyproxy is not installed (not found in PATH nor /usr/sbin); "
                  "install the tinyproxy package"_s;
        qWarning().noquote() << "TinyProxy:" << m_error;
        return false;
    }
    m_dir = std::make_unique<QTemporaryDir>();
    if (!m_dir->isValid()) {
        m_error = u"cannot create a temporary directory: "_s + m_dir->errorString();
        qWarning().noquote() << "TinyProxy:" << m_error;
        m_dir.reset();
        return false;
    }
    // The free port found here may be taken by someone else before tinyproxy binds it.
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        quint16 port = 0;
        {
            QTcpServer probe;
            if (probe.listen(QHostAddress::LocalHost, 0))
                port = probe.serverPort();
        }
        if (port != 0 && startOnce(program, port))
            return true;
        stop();
    }
    qWarning().noquote() << "TinyProxy: could not start:" << m_error;
    return false;
}

bool TinyProxy::startOnce(const QString &program, quint16 port)
{
    if (!writeFiles(port))
        return false;
    m_port = port;
    m_process = std::make_unique<QProcess>();
    m_process->setStandardOutputFile(m_dir->filePath(u"tinyproxy.log"_s), QIODevice::Append);
    m_process->setStandardErrorFile(m_dir->filePath(u"tinyproxy.log"_s), QIODevice::Append);
    // Ends tinyproxy with the test even if the test crashes.
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process->start(program, {u"-d"_s, u"-c"_s, configPath()});
    if (!m_process->waitForStarted(5000)) {
        m_error = u"cannot run "_s + program + u": "_s + m_process->errorString();
        return false;
    }
    if (!waitUntilAccepting(kReadyTimeoutMs)) {
        if (m_error.isEmpty())
            m_error = u"tinyproxy did not accept connections on port "_s + QString::number(port);
        m_error += u"; its output: "_s + log().trimmed();
        return false;
    }
    return true;
}

bool TinyProxy::writeFiles(quint16 port)
{
    QString conf = u"Port "_s + QString::number(port) +
                   u"\nListen 127.0.0.1\nTimeout 30\nMaxClients 100\nLogLevel Warning\n"
                   "DisableViaHeader No\n"_s;
    if (m_mode == Mode::Allowing) {
        conf += u"Allow 127.0.0.1\n"_s;
    } else {
        // A documentation-only address: loopback clients are refused with the page below.
        const QString pagePath = m_dir->filePath(u"403.html"_s);
        QFile page(pagePath);
        if (!page.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            page.write(refusalPage(u"{clientip}"_s).toUtf8()) < 0) {
            m_error = u"cannot write "_s + pagePath;
            return false;
        }
        conf += u"Allow 192.0.2.1\nErrorFile 403 \""_s + pagePath + u"\"\n"_s;
    }
    QFile file(configPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(conf.toUtf8()) < 0) {
        m_error = u"cannot write "_s + configPath();
        return false;
    }
    return true;
}

bool TinyProxy::waitUntilAccepting(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (m_process->state() != QProcess::Running) {
            m_error = u"tinyproxy exited with code "_s + QString::number(m_process->exitCode());
            return false;
        }
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        if (socket.waitForConnected(250)) {
            socket.disconnectFromHost();
            return true;
        }
        // Doubles as the pause between polls.
        if (m_process->waitForFinished(50)) {
            m_error = u"tinyproxy exited with code "_s + QString::number(m_process->exitCode());
            return false;
        }
    }
    return false;
}

void TinyProxy::stop()
{
    if (m_process) {
        if (m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            if (!m_process->waitForFinished(3000)) {
                m_process->kill();
                m_process->waitForFinished(3000);
            }
        }
        m_process.reset();
    }
    m_port = 0;
}
