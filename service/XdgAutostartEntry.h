#pragma once

#include "SessionAutostart.h"

// A desktop entry in $XDG_CONFIG_HOME/autostart (~/.config/autostart by default), which the
// session starts at login; Path= gives the folder to start in.
class XdgAutostartEntry : public SessionAutostart
{
public:
    bool isEnabled() const override;
    bool enable(const QString &program, const QString &workDir) override;
    bool disable() override;
    QString location() const override;

    // The entry's Exec= value: program, quoted, then the tray argument.
    static QString execValue(const QString &program);
    // Escapes a value of type string of a desktop entry.
    static QString escaped(const QString &value);
};
