#include "TestTargetDialog.h"
#include "ui_TestTargetDialog.h"

#include <QPushButton>

using namespace Qt::StringLiterals;

TestTargetDialog::TestTargetDialog(const TestTarget &current, const QString &apiUrl,
                                   QWidget *parent)
    : QDialog(parent), ui(new Ui::TestTargetDialog), apiUrl(apiUrl)
{
    ui->setupUi(this);
    ui->rbAddress->setChecked(!current.isPingPage());
    ui->leUrl->setText(current.url);
    ui->leExpect->setText(current.expect);
    ui->leExitIp->setText(current.exitIpUrl);
    ui->lProblem->hide();
    connect(ui->rbAddress, &QRadioButton::toggled, this, &TestTargetDialog::updateEnabled);
    // Typing an address means testing against it.
    connect(ui->leUrl, &QLineEdit::textEdited, ui->rbAddress,
            [this] { ui->rbAddress->setChecked(true); });
    connect(ui->buttons, &QDialogButtonBox::accepted, this, &TestTargetDialog::accept);
    connect(ui->buttons, &QDialogButtonBox::rejected, this, &TestTargetDialog::reject);
    updateEnabled();
}

TestTargetDialog::~TestTargetDialog()
{
    delete ui;
}

TestTarget TestTargetDialog::target() const
{
    TestTarget chosen;
    if (ui->rbAddress->isChecked()) {
        chosen.url = ui->leUrl->text().trimmed();
        chosen.expect = ui->leExpect->text();
    }
    chosen.exitIpUrl = ui->leExitIp->text().trimmed();
    return chosen;
}

void TestTargetDialog::accept()
{
    const TestTarget chosen = target();
    QString problem;
    if (!chosen.isPingPage())
        problem = TestTarget::problemOf(chosen.url);
    else if (ui->rbAddress->isChecked())
        problem = tr("no address given");
    if (!problem.isEmpty())
        problem = tr("This address: %1").arg(problem);
    else if (const QString exit = chosen.exitIpProblem(apiUrl); !exit.isEmpty())
        problem = tr("Exit address page: %1").arg(exit);
    ui->lProblem->setText(problem);
    ui->lProblem->setVisible(!problem.isEmpty());
    if (problem.isEmpty())
        QDialog::accept();
}

void TestTargetDialog::updateEnabled()
{
    const bool address = ui->rbAddress->isChecked();
    ui->leExpect->setEnabled(address);
    ui->lExpect->setEnabled(address);
}
