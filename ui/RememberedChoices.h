#pragma once

#include <QObject>

class ApplicationMenu;
class QAction;
class QSpinBox;
class QWidget;

// The main window's choices the per-user settings keep from one run to the next: "Ensure my
// IP is always authorized", "Remove my previous address when it changes", the re-test period,
// "Parallel tests:" once the user changed it, "Show only working", "Keep result history", and the
// window's position and size. Each is written when it changes.
class RememberedChoices : public QObject
{
    Q_OBJECT

public:
    RememberedChoices(QWidget *window, QSpinBox *parallelTests, QAction *authorize,
                      ApplicationMenu *menu);

    // At the remembered position and size where the screens show it; centred otherwise.
    void placeWindow();
    // config.ini's value, unless the user has changed the box in some run.
    void setConfiguredParallelTests(int count);
    // After login: the choices that start something, so none runs before.
    void restoreAfterLogin();
    // Only a window the user sees has a place worth keeping.
    void rememberPlacement();

private:
    QWidget *window;
    QSpinBox *parallelTests;
    QAction *authorize;
    ApplicationMenu *menu;
};
