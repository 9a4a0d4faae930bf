#include "SessionAutostart.h"

#include "WindowsRunValue.h"
#include "XdgAutostartEntry.h"

std::unique_ptr<SessionAutostart> SessionAutostart::forThisSystem()
{
#ifdef Q_OS_WIN
    return std::make_unique<WindowsRunValue>();
#else
    return std::make_unique<XdgAutostartEntry>();
#endif
}

bool SessionAutostart::remove()
{
    return forThisSystem()->disable();
}
