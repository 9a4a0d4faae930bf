#pragma once

#include <QObject>

class QAction;
class QActionGroup;
class QMenu;
class QWidget;

// The "&Application" menu's entries beyond the form's, and the tray menu, which shares some of
// them. A feature's menu action is made here; its signal goes to the part that acts on it.
class ApplicationMenu : public QObject
{
    Q_OBJECT

public:
    // menu: the form's menu, ending in exit; authorize: its checkable action.
    ApplicationMenu(QMenu *menu, QAction *authorize, QAction *exit, QWidget *window);

    QMenu *trayMenu() const { return tray; }
    QAction *onlyWorkingAction() const { return onlyWorking; }
    QAction *removePreviousAction() const { return removePrevious; }
    // "Keep result history": checkable, on until the user says otherwise.
    QAction *keepHistoryAction() const { return keepHistory; }
    // Checks the re-test entry of that period as the user's choice would; others are ignored.
    void chooseRetestPeriod(int minutes);

signals:
    void onlyWorkingToggled(bool only);
    // 0 switches the re-tests off.
    void retestPeriodChosen(int minutes);
    // A line for the log, ending in a line break.
    void problem(const QString &line);
    void forgetSavedLoginChosen();
    void authorizedAddressesChosen();
    void clearHistoryChosen();

private:
    void setStartAtLogin(QAction *action, bool on);

    QMenu *tray;
    QAction *onlyWorking;
    QAction *removePrevious;
    QAction *keepHistory;
    QActionGroup *retestGroup;
};
