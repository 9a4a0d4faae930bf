#include "WindowPlacement.h"

#include <QGuiApplication>
#include <QRegion>
#include <QScreen>
#include <QStyle>
#include <QWidget>

static void registerResources()
{
    Q_INIT_RESOURCE(resources);
}

void initImageResources()
{
    static const bool done = (registerResources(), true);
    Q_UNUSED(done);
}

void centerOnPrimaryScreen(QWidget *widget)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    widget->setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, widget->size(),
                                            screen->availableGeometry()));
}

void placeOnScreens(QWidget *widget, const QRect &geometry)
{
    // A screen that was there when it was saved may have gone, or changed its size.
    QRegion unseen(geometry);
    for (const QScreen *screen : QGuiApplication::screens())
        unseen -= screen->geometry();
    if (geometry.isValid() && unseen.isEmpty())
        widget->setGeometry(geometry);
    else
        centerOnPrimaryScreen(widget);
}
