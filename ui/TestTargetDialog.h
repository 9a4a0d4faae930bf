#pragma once

#include "TestTarget.h"

#include <QDialog>

namespace Ui {
class TestTargetDialog;
}

// "Test target...": the ping page or an address of the user's own with the text its page must
// hold, and the optional exit address page. OK takes only addresses a test can use.
class TestTargetDialog : public QDialog
{
    Q_OBJECT

public:
    // apiUrl: the service's address, which the exit address page must not be.
    TestTargetDialog(const TestTarget &current, const QString &apiUrl, QWidget *parent);
    ~TestTargetDialog() override;

    TestTarget target() const;

    void accept() override;

private:
    void updateEnabled();

    Ui::TestTargetDialog *ui;
    QString apiUrl;
};
