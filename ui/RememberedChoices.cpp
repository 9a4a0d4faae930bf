#include "RememberedChoices.h"

#include "ApplicationMenu.h"
#include "WindowPlacement.h"

#include <QAction>
#include <QRect>
#include <QSettings>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QWidget>

using namespace Qt::StringLiterals;

static const auto authorizeKey = u"choices/ensureAuthorized"_s;
static const auto retestKey = u"choices/retestMinutes"_s;
static const auto parallelKey = u"choices/parallelTests"_s;
static const auto onlyWorkingKey = u"choices/showOnlyWorking"_s;
static const auto geometryKey = u"choices/mainWindowGeometry"_s;

RememberedChoices::RememberedChoices(QWidget *window, QSpinBox *parallelTests, QAction *authorize,
                                     ApplicationMenu *menu)
    : QObject(window), window(window), parallelTests(parallelTests), authorize(authorize),
      menu(menu)
{
    // A fresh QSettings each time: cheap, and it follows where the settings live.
    connect(authorize, &QAction::toggled, this,
            [](bool on) { QSettings().setValue(authorizeKey, on); });
    connect(menu->onlyWorkingAction(), &QAction::toggled, this,
            [](bool on) { QSettings().setValue(onlyWorkingKey, on); });
    connect(menu, &ApplicationMenu::retestPeriodChosen, this,
            [](int minutes) { QSettings().setValue(retestKey, minutes); });
    connect(parallelTests, &QSpinBox::valueChanged, this,
            [](int count) { QSettings().setValue(parallelKey, count); });
}

void RememberedChoices::placeWindow()
{
    placeOnScreens(window, QSettings().value(geometryKey).toRect());
}

void RememberedChoices::setConfiguredParallelTests(int count)
{
    bool remembered = false;
    const int chosen = QSettings().value(parallelKey).toInt(&remembered);
    // The file's value is not the user's choice: it must not be remembered as one.
    const QSignalBlocker quiet(parallelTests);
    parallelTests->setValue(remembered ? chosen : count);
}

void RememberedChoices::restoreAfterLogin()
{
    const QSettings settings;
    menu->onlyWorkingAction()->setChecked(settings.value(onlyWorkingKey).toBool());
    menu->chooseRetestPeriod(settings.value(retestKey).toInt());
    // Its round runs as soon as it is checked.
    authorize->setChecked(settings.value(authorizeKey).toBool());
}

void RememberedChoices::rememberPlacement()
{
    if (window->isVisible())
        QSettings().setValue(geometryKey, window->normalGeometry());
}
