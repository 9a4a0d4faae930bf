#include "WindowPlacement.h"

#include <QGuiApplication>
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
