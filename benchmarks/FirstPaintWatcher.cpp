#include "FirstPaintWatcher.h"

#include <QEvent>

FirstPaintWatcher::FirstPaintWatcher(QObject *target) : QObject(target)
{
    target->installEventFilter(this);
}

bool FirstPaintWatcher::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint && !m_painted) {
        m_painted = true;
        // After this event, so that the paint itself is counted.
        QMetaObject::invokeMethod(this, &FirstPaintWatcher::painted, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}
