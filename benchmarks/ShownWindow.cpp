#include "ShownWindow.h"

#include <QCoreApplication>

ShownWindow::ShownWindow() : window(nullptr)
{
    if (!workDir.isValid())
        return;
    window.proxyManager = &manager;
    window.initAndShow();
    QCoreApplication::processEvents();
}
