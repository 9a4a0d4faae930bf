#include "AuthorizedListWindow.h"
#include "ui_AuthorizedListWindow.h"

#include "AuthorizedListEdit.h"
#include "IpAddress.h"
#include "ProxyManager.h"
#include "SafeText.h"

#include <QDateTime>
#include <QMessageBox>

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

const auto sharedAddressWarning =
    u"A home address is shared by every device behind the same router: removing it takes their "
    u"access away too."_s;

} // namespace

AuthorizedListWindow *AuthorizedListWindow::open(ProxyManager *manager, QWidget *owner)
{
    auto *window = owner->findChild<AuthorizedListWindow *>(QString(), Qt::FindDirectChildrenOnly);
    if (!window)
        window = new AuthorizedListWindow(manager, owner);
    if (!window->isVisible()) {
        manager->readAuthorizedList();
        window->asked(tr("Reading the list..."));
    }
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

AuthorizedListWindow::AuthorizedListWindow(ProxyManager *manager, QWidget *owner)
    : QWidget(owner, Qt::Window), ui(new Ui::AuthorizedListWindow), manager(manager)
{
    ui->setupUi(this);
    setToolTip(sharedAddressWarning);
    ui->bRemove->setToolTip(sharedAddressWarning);
    ui->entries->setHorizontalHeaderLabels({tr("Address"), QString()});

    connect(ui->bRefresh, &QPushButton::clicked, this, [this] {
        this->manager->readAuthorizedList();
        asked(tr("Reading the list..."));
    });
    connect(ui->bAddMyIp, &QPushButton::clicked, this, [this] {
        this->manager->requestAuthIps(true);
        asked(tr("Adding my IP..."));
    });
    connect(ui->bRemove, &QPushButton::clicked, this, &AuthorizedListWindow::removeSelected);
    connect(ui->entries, &QTableWidget::itemSelectionChanged, this,
            [this] { ui->bRemove->setEnabled(ui->entries->selectionModel()->hasSelection()); });

    connect(manager, &ProxyManager::authorizedListRead, this, &AuthorizedListWindow::showList);
    connect(manager, &ProxyManager::authorizationEnded, this,
            [this](ProxyManager::AuthorizationOutcome outcome, const QStringList &,
                   const QString &failure, ProxyManager::AuthorizationOrigin origin) {
                using Origin = ProxyManager::AuthorizationOrigin;
                const bool wrote = std::exchange(roundRead, false);
                if (outcome == ProxyManager::AuthorizationOutcome::Added) {
                    // The list shown is the one before the write.
                    if (isVisible())
                        this->manager->readAuthorizedList();
                } else if (outcome == ProxyManager::AuthorizationOutcome::Failed &&
                           (wrote || origin == Origin::ListRead || origin == Origin::ListEdit ||
                            origin == Origin::Button)) {
                    // Periodic rounds that end before a read say nothing about the list.
                    showFailure(failure);
                }
            });
}

AuthorizedListWindow::~AuthorizedListWindow()
{
    delete ui;
}

void AuthorizedListWindow::showList(const QStringList &entries, const QDateTime &readAt)
{
    roundRead = true;
    ui->message->clear();
    ui->readTime->setText(
        tr("As read at %1").arg(readAt.toLocalTime().toString(u"yyyy-MM-dd HH:mm:ss"_s)));
    const QHostAddress own = IpAddress::parse(manager->myIp);
    ui->entries->clearContents();
    ui->bRemove->setEnabled(false);
    ui->entries->setRowCount(int(entries.size()));
    for (int row = 0; row < entries.size(); ++row) {
        auto *entry = new QTableWidgetItem(entries.at(row));
        auto *note = new QTableWidgetItem();
        // Removing it would lock this computer out; the service refuses nothing of the kind.
        if (AuthorizedListEdit::covers(entries.at(row), own)) {
            note->setText(tr("this computer"));
            entry->setFlags(Qt::ItemIsEnabled);
            note->setFlags(Qt::ItemIsEnabled);
        }
        ui->entries->setItem(row, 0, entry);
        ui->entries->setItem(row, 1, note);
    }
    ui->entries->resizeColumnToContents(0);
}

void AuthorizedListWindow::showFailure(const QString &reason)
{
    ui->message->setText(tr("Nothing changed: %1").arg(SafeText::singleLine(reason, 300)));
}

void AuthorizedListWindow::asked(const QString &what)
{
    ui->message->setText(what);
}

void AuthorizedListWindow::removeSelected()
{
    QModelIndexList rows = ui->entries->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end());
    QStringList chosen;
    for (const QModelIndex &row : std::as_const(rows)) {
        const QTableWidgetItem *entry = ui->entries->item(row.row(), 0);
        if (entry && entry->flags().testFlag(Qt::ItemIsSelectable))
            chosen.append(entry->text());
    }
    if (chosen.isEmpty())
        return;
    const auto answer =
        QMessageBox::question(this, tr("Remove authorized addresses"),
                              tr("Remove from the account's authorized list:\n\n%1\n\n%2")
                                  .arg(chosen.join(u'\n'), sharedAddressWarning),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    manager->removeAuthorized(chosen);
    asked(tr("Removing..."));
}
