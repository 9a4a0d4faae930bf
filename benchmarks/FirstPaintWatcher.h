#pragma once

#include <QObject>

// Tells when a widget has been painted for the first time: the moment a window is on screen.
class FirstPaintWatcher : public QObject
{
    Q_OBJECT

public:
    // Watches target; the watcher should not outlive it.
    explicit FirstPaintWatcher(QObject *target);

    bool hasPainted() const { return m_painted; }

signals:
    void painted();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_painted = false;
};
