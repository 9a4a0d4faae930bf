#include "TinyProxy.h"

#include "TestEnvironment.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

using namespace Qt::StringLiterals;

TinyProxy::TinyProxy() = default;

TinyProxy::~TinyProxy()
{
    stop();
}

QString TinyProxy::executable()
{
    return QStandardPaths::findExecutable(u"tinyproxy"_s);
}

QString TinyProxy::entry() const
{
    return TestEnvironment::entryOf(m_port);
}

bool TinyProxy::start(Mode mode)
{
    m_error = u"tinyproxy is not installed"_s;
    // The free port found here may be taken by someone else before tinyproxy binds it.
    for (int attempt = 0; attempt < 3 && !executable().isEmpty(); ++attempt)
        if (startOnce(executable(), mode))
            return true;
    qWarning().noquote() << "TinyProxy: could not start:" << m_error;
    return false;
}

bool TinyProxy::startOnce(const QString &program, Mode mode)
{
    stop();
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return false;
    m_port = probe.serverPort();
    probe.close();
    m_dir = std::make_unique<QTemporaryDir>();
    QFile conf(m_dir->filePath(u"tinyproxy.conf"_s));
    QFile page(m_dir->filePath(u"403.html"_s));
    // The refusing one allows only a documentation address: every loopback client is refused.
    const QString text = u"Port "_s + QString::number(m_port) +
                         u"\nListen 127.0.0.1\nTimeout 30\nMaxClients 100\nLogLevel Warning\n"_s +
                         // Only local clients reach it; without Allow lines all of them may use it.
                         (mode == Mode::Allowing ? QString()
                                                 : u"Allow 192.0.2.1\nErrorFile 403 \""_s +
                                                       page.fileName() + u"\"\n"_s);
    if (!conf.open(QIODevice::WriteOnly) || conf.write(text.toUtf8()) < 0 ||
        !page.open(QIODevice::WriteOnly) ||
        page.write("<html><body><h1>Access denied</h1>\n<p>Please ensure this IP is set in your "
                   "Authorized IP list: <b>{clientip}</b></p>\n</body></html>\n") < 0) {
        m_error = u"cannot write into "_s + m_dir->path();
        return false;
    }
    conf.close();
    page.close();
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
#ifdef Q_OS_LINUX
    // Ends tinyproxy with the test even if the test crashes.
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
#endif
    m_process->start(program, {u"-d"_s, u"-c"_s, conf.fileName()});
    // Generous: a loaded machine may take seconds to start it.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 15000 && m_process->state() != QProcess::NotRunning) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        if (socket.waitForConnected(500))
            return true;
        m_process->waitForFinished(50); // the pause between polls
    }
    m_error = u"tinyproxy did not accept connections on port "_s + QString::number(m_port) +
              u"; its output: "_s + QString::fromLocal8Bit(m_process->readAll()).trimmed();
    return false;
}

void TinyProxy::stop()
{
    if (m_process) {
        m_process->kill();
        m_process->waitForFinished(3000);
    }
    m_process.reset();
    m_port = 0;
}
