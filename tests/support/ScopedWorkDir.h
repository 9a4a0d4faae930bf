#pragma once

#include <QString>
#include <QTemporaryDir>

// Makes a fresh temporary directory the current one for its lifetime, so files the code under
// test writes next to itself land there; the previous current directory comes back after.
class ScopedWorkDir
{
public:
    ScopedWorkDir();
    ~ScopedWorkDir();
    Q_DISABLE_COPY(ScopedWorkDir)

    bool isValid() const { return m_entered; }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &fileName) const { return m_dir.filePath(fileName); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
    bool m_entered = false;
};
