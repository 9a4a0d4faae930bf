#pragma once

#include <QObject>

class QAction;
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

signals:
    void onlyWorkingToggled(bool only);
    // 0 switches the re-tests off.
    void retestPeriodChosen(int minutes);
    void forgetSavedLoginChosen();

private:
    QMenu *tray;
};
