#pragma once

#include "SessionAutostart.h"

// The value ProxyManager under the current user's Run key of the registry. A Run value has no
// folder to start in, so the command names it with --workdir.
class WindowsRunValue : public SessionAutostart
{
public:
    bool isEnabled() const override;
    bool enable(const QString &program, const QString &workDir) override;
    bool disable() override;
    QString location() const override;

    // The value's command line, as Windows splits it back into the program and its arguments.
    static QString commandLine(const QString &program, const QString &workDir);
};
