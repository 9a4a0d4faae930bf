#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QStringList>

class AutoLogin;
class LogoFetcher;
class ProxyManager;

namespace Ui {
class LoginWindow;
}

class LoginWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit LoginWindow(QWidget *parent = nullptr);
    ~LoginWindow() override;

    // Starts the logo download; the window shows itself when it has ended.
    void loadLogo(const QString &url);
    // Shows the window, unless a quiet start is still logging in by itself.
    void reveal();
    // With a saved login, logs in by itself; otherwise nothing.
    void startAutoLogin();
    // Why "Remember me" could not remember, for the main window's log; empty when it could.
    QString keychainNote() const { return noKeychainNote; }

    // Set before start-up: with a saved login the window shows only where that login fails.
    bool quietStart = false;

    ProxyManager *proxyManager = nullptr;
    // The logo always comes by plain HTTP on this port; tests point it elsewhere.
    quint16 logoPort = 80;
    int logoTimeoutMs = 10000;

signals:
    void logged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_pushButton_clicked();
    void loginFinished(const QStringList &list);
    void Finished(int requestId, bool error);

private:
    void logIn();
    void rememberClicked(bool checked);
    void keychainChecked(bool answers, const QString &reason);
    void showStatus(const QString &text);
    void showError(const QString &text);
    void fitError();

    Ui::LoginWindow *ui;
    // The error as received; the label shows as much of it as fits on one line.
    QString errorText;
    QByteArray logoData;
    LogoFetcher *logoFetcher = nullptr;
    int logoRequestId = 0;
    AutoLogin *autoLogin = nullptr;
    QString noKeychainNote;
    bool loggedIn = false;
};
