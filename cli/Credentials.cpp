#include "Credentials.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <termios.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

bool Credentials::stdinIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stdin));
#else
    return isatty(STDIN_FILENO);
#endif
}

namespace {

// One line of standard input without its line end; false at the end of input.
bool readLine(QString *line)
{
    QByteArray bytes;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, stdin)) {
        bytes.append(buffer);
        if (bytes.endsWith('\n'))
            break;
    }
    if (bytes.isEmpty())
        return false;
    while (bytes.endsWith('\n') || bytes.endsWith('\r'))
        bytes.chop(1);
    *line = QString::fromLocal8Bit(bytes);
    return true;
}

#ifdef Q_OS_WIN
// Reads a line with the console's echo off, restoring the mode however the read ends.
bool readHidden(const char *prompt, QString *line)
{
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(input, &mode);
    if (console)
        SetConsoleMode(input, mode & ~DWORD(ENABLE_ECHO_INPUT));
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    const bool ok = readLine(line);
    if (console)
        SetConsoleMode(input, mode);
    return ok;
}
#else
termios savedTerminal;

// Ctrl+C at the prompt must not leave the terminal without echo.
extern "C" void restoreAndDie(int signalNumber)
{
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

bool readHidden(const char *prompt, QString *line)
{
    // Echo goes off before the prompt shows, so that nothing typed after it is echoed.
    const bool terminal = tcgetattr(STDIN_FILENO, &savedTerminal) == 0;
    if (!terminal) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        return readLine(line);
    }
    termios quiet = savedTerminal;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    const auto oldInt = std::signal(SIGINT, restoreAndDie);
    const auto oldTerm = std::signal(SIGTERM, restoreAndDie);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    const bool ok = readLine(line);
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    std::signal(SIGINT, oldInt);
    std::signal(SIGTERM, oldTerm);
    return ok;
}
#endif

Credentials failure(const QString &why)
{
    Credentials credentials;
    credentials.error = why;
    return credentials;
}

} // namespace

Credentials Credentials::obtain(const QString &file)
{
    if (!file.isEmpty())
        return fromFile(file);
    const QString user = qEnvironmentVariable("PROXYMANAGER_USER");
    const QString password = qEnvironmentVariable("PROXYMANAGER_PASSWORD");
    if (!user.isEmpty() || !password.isEmpty()) {
        if (user.isEmpty() || password.isEmpty())
            return failure(u"PROXYMANAGER_USER and PROXYMANAGER_PASSWORD must both be set"_s);
        Credentials credentials;
        credentials.user = user;
        credentials.password = password;
        return credentials;
    }
    if (stdinIsTerminal())
        return prompt();
    return failure(u"no credentials: set PROXYMANAGER_USER and PROXYMANAGER_PASSWORD, "
                   u"or use --credentials FILE"_s);
}

Credentials Credentials::userOnly(const QString &given, const QString &file)
{
    Credentials credentials;
    if (!given.isEmpty())
        credentials.user = given;
    else if (!file.isEmpty())
        return fromFile(file, false);
    else
        credentials.user = qEnvironmentVariable("PROXYMANAGER_USER");
    if (!credentials.user.isEmpty())
        return credentials;
    if (!stdinIsTerminal())
        return failure(u"no user name: set PROXYMANAGER_USER, or use --user or --credentials "
                       u"FILE"_s);
    std::fputs("User: ", stderr);
    std::fflush(stderr);
    if (!readLine(&credentials.user) || credentials.user.isEmpty())
        return failure(u"no user name given"_s);
    return credentials;
}

Credentials Credentials::fromFile(const QString &path, bool withPassword)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return failure(u"cannot read the credentials file "_s % path);
#ifndef Q_OS_WIN
    // Windows access lists are not checked: keep the file in the user's own profile there.
    if (info.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther))
        return failure(u"the credentials file "_s % path %
                       u" can be read by other users; make it private (chmod 600)"_s);
#endif
    QFile file(path);
    // Unbuffered, the user name alone is read, not the password after it.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return failure(u"cannot read the credentials file "_s % path);
    // Two short lines; anything longer is not a credentials file.
    const auto nextLine = [&file] {
        QByteArray line = file.readLine(64 * 1024);
        const bool ended = line.endsWith('\n');
        if (ended)
            line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        return std::make_pair(QString::fromUtf8(line), ended);
    };
    Credentials credentials;
    const auto [user, ended] = nextLine();
    credentials.user = user;
    if (withPassword)
        credentials.password = ended ? nextLine().first : QString();
    if (credentials.user.isEmpty() || (withPassword && credentials.password.isEmpty()))
        return failure(u"the credentials file "_s % path %
                       u" must hold the user name on its first line and the password on its "
                       u"second"_s);
    return credentials;
}

Credentials Credentials::prompt()
{
    Credentials credentials;
    std::fputs("User: ", stderr);
    std::fflush(stderr);
    const bool gotUser = readLine(&credentials.user);
    const bool gotPassword = gotUser && readHidden("Password: ", &credentials.password);
    std::fputc('\n', stderr);
    if (!gotPassword || credentials.user.isEmpty() || credentials.password.isEmpty())
        return failure(u"no credentials given"_s);
    return credentials;
}

bool Credentials::confirm(const QString &question)
{
    std::fputs(qPrintable(question % u" [y/N] "_s), stderr);
    std::fflush(stderr);
    QString answer;
    return readLine(&answer) && answer.trimmed().startsWith(u'y', Qt::CaseInsensitive);
}
