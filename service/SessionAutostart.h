#pragma once

#include <QString>

#include <memory>

// The entry that starts the desktop program, in the tray, when the user logs in to the session.
// Each system keeps it somewhere else; forThisSystem() picks the one that applies.
class SessionAutostart
{
public:
    virtual ~SessionAutostart() = default;

    static std::unique_ptr<SessionAutostart> forThisSystem();
    // Deletes this user's entry, if there is one (for --forget and uninstalling). False when
    // one is left.
    static bool remove();

    virtual bool isEnabled() const = 0;
    // The entry starts program in workDir, where its config.ini is. False when not written.
    virtual bool enable(const QString &program, const QString &workDir) = 0;
    // False when an entry is still there.
    virtual bool disable() = 0;
    // Where the entry lives, for messages.
    virtual QString location() const = 0;

    // The argument that sends the started program to the tray.
    static QString trayArgument() { return QStringLiteral("--tray"); }
};
