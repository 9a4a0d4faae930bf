#include "ScopedWorkDir.h"

#include <QDebug>
#include <QDir>

ScopedWorkDir::ScopedWorkDir() : m_previous(QDir::currentPath())
{
    m_entered = m_dir.isValid() && QDir::setCurrent(m_dir.path());
    if (!m_entered)
        qWarning().noquote() << "ScopedWorkDir: cannot enter a temporary directory"
                             << m_dir.errorString();
}

ScopedWorkDir::~ScopedWorkDir()
{
    // Left before the directory is removed, which happens after this body.
    if (m_entered)
        QDir::setCurrent(m_previous);
}
