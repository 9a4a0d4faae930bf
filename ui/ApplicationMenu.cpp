#include "ApplicationMenu.h"

#include "SessionAutostart.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QDir>
#include <QMenu>

using namespace Qt::StringLiterals;

ApplicationMenu::ApplicationMenu(QMenu *menu, QAction *authorize, QAction *exit, QWidget *window)
    : QObject(window)
{
    onlyWorking = new QAction(tr("Show only working"), this);
    onlyWorking->setObjectName(u"actionShowOnlyWorking"_s);
    onlyWorking->setCheckable(true);
    connect(onlyWorking, &QAction::toggled, this, &ApplicationMenu::onlyWorkingToggled);

    auto *retestMenu = new QMenu(tr("Re-test every ..."), window);
    retestGroup = new QActionGroup(this);
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

    removePrevious = new QAction(tr("Remove my previous address when it changes"), this);
    removePrevious->setObjectName(u"actionRemovePreviousAddress"_s);
    removePrevious->setCheckable(true);
    removePrevious->setToolTip(
        tr("When this computer's new address is added, the one this program added before leaves "
           "the list. A home address is shared by every device behind the same router: they "
           "lose access too."));
    auto *authorizedList = new QAction(tr("Authorized addresses..."), this);
    authorizedList->setObjectName(u"actionAuthorizedAddresses"_s);
    connect(authorizedList, &QAction::triggered, this, &ApplicationMenu::authorizedAddressesChosen);
    // Beside "Ensure my IP is always authorized", before what follows it in the form.
    const QList<QAction *> formActions = menu->actions();
    menu->insertActions(formActions.value(formActions.indexOf(authorize) + 1, exit),
                        {removePrevious, authorizedList});
    menu->setToolTipsVisible(true);

    menu->insertAction(exit, onlyWorking);
    menu->insertMenu(exit, retestMenu);

    keepHistory = new QAction(tr("Keep result history"), this);
    keepHistory->setObjectName(u"actionKeepHistory"_s);
    keepHistory->setCheckable(true);
    keepHistory->setChecked(true);
    auto *clearHistory = new QAction(tr("Clear history..."), this);
    clearHistory->setObjectName(u"actionClearHistory"_s);
    connect(clearHistory, &QAction::triggered, this, &ApplicationMenu::clearHistoryChosen);
    menu->insertActions(exit, {keepHistory, clearHistory});

    auto *startAtLogin = new QAction(tr("Start when I log in"), this);
    startAtLogin->setObjectName(u"actionStartAtLogin"_s);
    startAtLogin->setCheckable(true);
    startAtLogin->setChecked(SessionAutostart::forThisSystem()->isEnabled());
    connect(startAtLogin, &QAction::triggered, this,
            [this, startAtLogin](bool on) { setStartAtLogin(startAtLogin, on); });
    // The user may have removed the entry elsewhere since.
    connect(menu, &QMenu::aboutToShow, startAtLogin, [startAtLogin] {
        startAtLogin->setChecked(SessionAutostart::forThisSystem()->isEnabled());
    });
    menu->insertAction(exit, startAtLogin);
    menu->insertAction(exit, forget);
    menu->insertSeparator(exit);

    // The tray has its own "&Quit", without the window's shortcut.
    auto *quit = new QAction(tr("&Quit"), this);
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);
    tray = new QMenu(window);
    tray->setToolTipsVisible(true);
    tray->addAction(authorize);
    tray->addAction(removePrevious);
    tray->addAction(authorizedList);
    tray->addMenu(retestMenu);
    tray->addSeparator();
    tray->addAction(quit);
}

void ApplicationMenu::chooseRetestPeriod(int minutes)
{
    for (QAction *action : retestGroup->actions()) {
        if (action->data().toInt() == minutes && !action->isChecked())
            action->trigger();
    }
}

// From the folder started in, where config.ini is; the entry starts the program in the tray.
void ApplicationMenu::setStartAtLogin(QAction *action, bool on)
{
    const auto entry = SessionAutostart::forThisSystem();
    const bool done =
        on ? entry->enable(QCoreApplication::applicationFilePath(), QDir::currentPath())
           : entry->disable();
    action->setChecked(entry->isEnabled());
    if (!done)
        emit problem(
            (on ? tr("Could not write %1\n") : tr("Could not remove %1\n")).arg(entry->location()));
}
