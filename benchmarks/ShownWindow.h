#pragma once

#include "MainWindow.h"
#include "ProxyManager.h"
#include "ScopedWorkDir.h"

// The main window as a login leaves it, in a temporary working directory that outlives it
// (the window writes log.txt there).
class ShownWindow
{
public:
    ShownWindow();
    bool isValid() const { return workDir.isValid(); }

    ScopedWorkDir workDir;
    ProxyManager manager;
    MainWindow window;
};
