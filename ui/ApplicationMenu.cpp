#include "ApplicationMenu.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QMenu>

using namespace Qt::StringLiterals;

ApplicationMenu::ApplicationMenu(QMenu *menu, QAction *authorize, QAction *exit, QWidget *window)
    : QObject(window)
{
    auto *onlyWorking = new QAction(tr("Show only working"), this);
    onlyWorking->setObjectName(u"actionShowOnlyWorking"_s);
    onlyWorking->setCheckable(true);
    connect(onlyWorking, &QAction::toggled, this, &ApplicationMenu::onlyWorkingToggled);

    auto *retestMenu = new QMenu(tr("Re-test every ..."), window);
    auto *retestGroup = new QActionGroup(this);
    for (const int minutes : {0, 5, 15, 60}) {
        QAction *action =
            retestMenu->addAction(minutes == 0 ? tr("Off") : tr("%1 minutes").arg(minutes), this,
                                  [this, minutes] { emit retestPeriodChosen(minutes); });
        action->setObjectName(u"actionRetest"_s % QString::number(minutes));
        action->setCheckable(true);
        action->setChecked(minutes == 0);
        action->setData(minutes);
        retestGroup->addAction(action);
    }
    auto *forget = new QAction(tr("Forget saved login"), this);
    forget->setObjectName(u"actionForgetSavedLogin"_s);
    connect(forget, &QAction::triggered, this, &ApplicationMenu::forgetSavedLoginChosen);

    menu->insertAction(exit, onlyWorking);
    menu->insertMenu(exit, retestMenu);
    menu->insertAction(exit, forget);
    menu->insertSeparator(exit);

    // The tray has its own "&Quit", without the window's shortcut.
    auto *quit = new QAction(tr("&Quit"), this);
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);
    tray = new QMenu(window);
    tray->addAction(authorize);
    tray->addMenu(retestMenu);
    tray->addSeparator();
    tray->addAction(quit);
}
