#pragma once

#include <QStringList>
#include <QWidget>

class ProxyManager;
class QDateTime;

namespace Ui {
class AuthorizedListWindow;
}

// The account's authorized addresses in a window of their own: the list as the last complete
// read gave it and when, this computer's entries marked and kept from removal, and buttons that
// read it again, add the address and remove entries. It only asks the ProxyManager and follows
// its signals: the rounds' queue orders its reads and writes with every other round's.
class AuthorizedListWindow : public QWidget
{
    Q_OBJECT

public:
    // The owner's one such window, made at the first call: shown and reading the list when it
    // is hidden, raised otherwise. Closing it only hides it.
    static AuthorizedListWindow *open(ProxyManager *manager, QWidget *owner);
    ~AuthorizedListWindow() override;

private:
    AuthorizedListWindow(ProxyManager *manager, QWidget *owner);
    void showList(const QStringList &entries, const QDateTime &readAt);
    void showFailure(const QString &reason);
    void removeSelected();
    void asked(const QString &what);

    Ui::AuthorizedListWindow *ui;
    ProxyManager *manager;
    // A complete read came in the round now ending: a failure after it is its write's.
    bool roundRead = false;
};
