#pragma once

#include <QString>

// The account's user name and password, from anywhere but the command line, where every user
// of the machine could read them.
class Credentials
{
public:
    // From the file when one is named, else from PROXYMANAGER_USER and PROXYMANAGER_PASSWORD,
    // else from a prompt when standard input is a terminal. On failure, error says why.
    static Credentials obtain(const QString &file);
    // The user name alone, for reading the result history: the one given, else the file's first
    // line, else PROXYMANAGER_USER, else a prompt. The password is never read.
    static Credentials userOnly(const QString &given, const QString &file);

    // The user name on the first line, the password on the second, kept as written apart from
    // the line end. Refused when others can read the file (checked on Unix only).
    static Credentials fromFile(const QString &path, bool withPassword = true);

    static bool stdinIsTerminal();
    // Asks on the terminal; true only for an answer starting with y.
    static bool confirm(const QString &question);

    bool isValid() const { return error.isEmpty(); }

    QString user;
    QString password;
    QString error;

private:
    static Credentials prompt();
};
