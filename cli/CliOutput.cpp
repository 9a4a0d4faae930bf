#include "CliOutput.h"

#include "SafeText.h"

#include <QCoreApplication>

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

} // namespace

void CliOutput::out(const QString &text)
{
    print(stdout, text);
}

void CliOutput::err(const QString &text)
{
    print(stderr, text);
}

bool CliOutput::stderrIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr));
#else
    return isatty(STDERR_FILENO);
#endif
}

QString CliOutput::line(const QString &text, int maxChars) const
{
    return SafeText::singleLine(secrets.masked(text), maxChars);
}

void CliOutput::error(const QString &message) const
{
    // The service's own error text could echo what it was sent.
    print(stderr, u"proxymanager-cli: "_s % line(message, 400) % u'\n');
}

void CliOutput::listAndFinish(const QStringList &entries) const
{
    QString text;
    for (const QString &entry : entries)
        text += line(entry) % u'\n';
    out(text);
    finish(Done);
}

void CliOutput::finish(int status)
{
    QCoreApplication::exit(status);
}

int CliOutput::failed(ProxyManager::FailureKind kind, const QString &reason) const
{
    error(kind == ProxyManager::FailureKind::Unreachable ? u"cannot reach the service: "_s % reason
                                                         : reason);
    const int status = kind == ProxyManager::FailureKind::Unreachable ? Unreachable : ServiceError;
    finish(status);
    return status;
}
