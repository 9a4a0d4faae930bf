#include "RememberedChoices.h"

#include "ApplicationMenu.h"
#include "WindowPlacement.h"

#include <QAction>
#include <QCoreApplication>
#include <QRect>
#include <QSettings>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QWidget>

using namespace Qt::StringLiterals;

static const auto authorizeKey = u"choices/ensureAuthorized"_s;
static const auto removePreviousKey = u"choices/removePreviousAddress"_s;
static const auto retestKey = u"choices/retestMinutes"_s;
static const auto parallelKey = u"choices/parallelTests"_s;
static const auto onlyWorkingKey = u"choices/showOnlyWorking"_s;
static const auto keepHistoryKey = u"choices/keepHistory"_s;
static const auto geometryKey = u"choices/mainWindowGeometry"_s;

// A fresh QSettings each time: cheap, and it follows where the settings live. Without the
// program's names they would land in an "Unknown Organization" folder (the benchmarks show the
// window without them).
static void remember(const QString &key, const QVariant &value)
{
    if (!QCoreApplication::organizationName().isEmpty())
        QSettings().setValue(key, value);
}

RememberedChoices::RememberedChoices(QWidget *window, QSpinBox *parallelTests, QAction *authorize,
                                     ApplicationMenu *menu)
    : QObject(window), window(window), parallelTests(parallelTests), authorize(authorize),
      menu(menu)
{
    connect(authorize, &QAction::toggled, this, [](bool on) { remember(authorizeKey, on); });
    connect(menu->removePreviousAction(), &QAction::toggled, this,
            [](bool on) { remember(removePreviousKey, on); });
    connect(menu->onlyWorkingAction(), &QAction::toggled, this,
            [](bool on) { remember(onlyWorkingKey, on); });
    connect(menu->keepHistoryAction(), &QAction::toggled, this,
            [](bool on) { remember(keepHistoryKey, on); });
    connect(menu, &ApplicationMenu::retestPeriodChosen, this,
            [](int minutes) { remember(retestKey, minutes); });
    connect(parallelTests, &QSpinBox::valueChanged, this,
            [](int count) { remember(parallelKey, count); });
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
    // Before anything that may start a run.
    menu->keepHistoryAction()->setChecked(settings.value(keepHistoryKey, true).toBool());
    menu->onlyWorkingAction()->setChecked(settings.value(onlyWorkingKey).toBool());
    menu->chooseRetestPeriod(settings.value(retestKey).toInt());
    // Before the first round, which may already replace the previous address.
    menu->removePreviousAction()->setChecked(settings.value(removePreviousKey).toBool());
    // Its round runs as soon as it is checked.
    authorize->setChecked(settings.value(authorizeKey).toBool());
}

void RememberedChoices::rememberPlacement()
{
    if (window->isVisible())
        remember(geometryKey, window->normalGeometry());
}
