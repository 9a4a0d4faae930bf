#include "TestTargetControls.h"

#include "ExitIpColumn.h"
#include "MainWindow.h"
#include "ProxyManager.h"
#include "ProxyTableController.h"
#include "TestTargetDialog.h"

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QTableView>

using namespace Qt::StringLiterals;

TestTargetControls::TestTargetControls(ProxyManager *manager, ProxyTableController *table,
                                       MainWindow *window)
    : QObject(window), manager(manager), window(window),
      view(window->findChild<QTableView *>(u"tableWidget"_s)),
      exitColumn(new ExitIpColumn(
          [table](int row) { return table->entriesOfRows({row}).value(0, -1); }, this))
{
    auto *chooseAction = new QAction(tr("Test target..."), this);
    chooseAction->setObjectName(u"actionTestTarget"_s);
    connect(chooseAction, &QAction::triggered, this, &TestTargetControls::chooseTarget);
    auto *failedAction = new QAction(tr("Test failed again"), this);
    failedAction->setObjectName(u"actionTestFailedAgain"_s);
    // Empty when none failed: that would mean the whole list to the window.
    connect(failedAction, &QAction::triggered, this,
            [this] { this->window->testEntries(failedEntries()); });
    // With the other entries about test runs.
    window->findChild<QMenu *>(u"menuProgram"_s)
        ->insertActions(window->findChild<QAction *>(u"actionShowOnlyWorking"_s),
                        {chooseAction, failedAction});
    table->addMenuAction(failedAction);

    table->addColumns(exitColumn);
    connect(manager, &ProxyManager::finishedTestingProxy, this, &TestTargetControls::resultArrived);
    connect(manager, &ProxyManager::finishedGetProxies, this, &TestTargetControls::listArrived);
    listArrived();
    setTarget(TestTarget::remembered(manager->userName()));
}

QList<int> TestTargetControls::failedEntries() const
{
    QList<int> failed;
    for (int entry = 0; entry < lastCodes.size(); ++entry) {
        if (lastCodes.at(entry) >= 1 && lastCodes.at(entry) <= 4)
            failed.append(entry);
    }
    return failed;
}

void TestTargetControls::setTarget(const TestTarget &target)
{
    manager->testTarget = target;
    exitColumn->setShown(!target.exitIpUrl.isEmpty());
    if (!target.exitIpUrl.isEmpty())
        view->horizontalHeader()->setSectionResizeMode(exitColumn->column(), QHeaderView::Stretch);
}

void TestTargetControls::chooseTarget()
{
    auto *dialog = new TestTargetDialog(manager->testTarget, manager->apiUrl, window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        const TestTarget chosen = dialog->target();
        setTarget(chosen);
        chosen.remember(manager->userName());
    });
    dialog->open();
}

void TestTargetControls::resultArrived(const QStringList &result)
{
    const int entry = result.value(4).toInt();
    if (entry < 0 || entry >= lastCodes.size())
        return;
    lastCodes[entry] = qint8(result.value(2).toInt());
    // A working proxy's result carries its exit address when one was asked for.
    exitColumn->setAddress(entry, result.value(2) == u"0" ? result.value(5) : QString());
}

void TestTargetControls::listArrived()
{
    lastCodes = QList<qint8>(manager->proxies.size(), qint8(-1));
    exitColumn->clear();
}
