#include "ScopedWorkDir.h"

#include <QDebug>
#include <QDir>

ScopedWorkDir::ScopedWorkDir() : m_previous(QDir::currentPath())
{
    if (!m_dir.isValid()) {
        qWarning().noquote() << "ScopedWorkDir: cannot create a temporary directory:"
                             << m_dir.errorString();
        return;
    }
    m_entered = QDir::setCurrent(m_dir.path());
    if (!m_entered)
        qWarning().noquote() << "ScopedWorkDir: cannot enter" << m_dir.path();
}

ScopedWorkDir::~ScopedWorkDir()
{
    // Left before the directory is removed, which happens after this body.
    if (m_entered)
        QDir::setCurrent(m_previous);
}

QString ScopedWorkDir::path() const
{
    return m_dir.path();
}

QString ScopedWorkDir::filePath(const QString &fileName) const
{
    return m_dir.filePath(fileName);
}
