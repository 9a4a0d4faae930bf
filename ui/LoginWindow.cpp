#include "LoginWindow.h"
#include "ui_LoginWindow.h"

#include "AutoLogin.h"
#include "LogoFetcher.h"
#include "ProxyManager.h"
#include "SafeText.h"
#include "WindowPlacement.h"

#include <QEvent>
#include <QPixmap>

using namespace Qt::StringLiterals;

LoginWindow::LoginWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::LoginWindow)
{
    initImageResources();
    ui->setupUi(this);
    // A fresh top-level window has both hints: toggling removes minimize and maximize.
    setWindowFlags(windowFlags() ^ Qt::WindowMinMaxButtonsHint);
    centerOnPrimaryScreen(this);
    // A main window has no default button: Return in a field would otherwise do nothing.
    connect(ui->username, &QLineEdit::returnPressed, ui->pushButton, &QPushButton::click);
    connect(ui->password, &QLineEdit::returnPressed, ui->pushButton, &QPushButton::click);
    connect(ui->rememberMe, &QCheckBox::clicked, this, &LoginWindow::rememberClicked);
    // The error is elided to the label's width, which is known only once the form is laid out.
    ui->error_label->installEventFilter(this);
}

LoginWindow::~LoginWindow()
{
    ui->error_label->removeEventFilter(this);
    delete ui;
}

void LoginWindow::loadLogo(const QString &url)
{
    logoFetcher = new LogoFetcher(this);
    connect(logoFetcher, &LogoFetcher::finished, this, &LoginWindow::Finished);
    logoRequestId = logoFetcher->get(url, logoPort, logoTimeoutMs);
}

void LoginWindow::Finished(int requestId, bool error)
{
    Q_UNUSED(error);
    if (requestId != logoRequestId)
        return;
    logoData = logoFetcher->data();
    QPixmap pixmap;
    pixmap.loadFromData(logoData);
    ui->logo->setPixmap(pixmap);
    reveal();
}

void LoginWindow::reveal()
{
    // A logo may arrive after a login without a press.
    if (loggedIn || (quietStart && autoLogin && autoLogin->isActive()))
        return;
    show();
}

void LoginWindow::startAutoLogin()
{
    const QString user = proxyManager->savedUser();
    if (user.isEmpty())
        return;
    ui->username->setText(user);
    ui->rememberMe->setChecked(true);
    autoLogin = new AutoLogin(proxyManager, this);
    connect(autoLogin, &AutoLogin::status, this, &LoginWindow::showStatus);
    connect(autoLogin, &AutoLogin::loaded, this,
            [this](const QString &, const QString &password) { ui->password->setText(password); });
    connect(autoLogin, &AutoLogin::attempt, this, &LoginWindow::logIn);
    connect(autoLogin, &AutoLogin::gaveUp, this, [this](const QString &reason) {
        if (!reason.isEmpty())
            showError(reason);
        reveal();
    });
    // Typing takes over; a programmatic setText is no edit.
    connect(ui->username, &QLineEdit::textEdited, autoLogin, &AutoLogin::stop);
    connect(ui->password, &QLineEdit::textEdited, autoLogin, &AutoLogin::stop);
    autoLogin->start();
}

void LoginWindow::on_pushButton_clicked()
{
    if (autoLogin)
        autoLogin->stop();
    logIn();
}

void LoginWindow::logIn()
{
    showError(QString());
    proxyManager->setCredentials(ui->username->text(), ui->password->text());
    proxyManager->requestProxies();
}

// Ticking asks at once whether a keychain answers, so the note comes before the login.
void LoginWindow::rememberClicked(bool checked)
{
    noKeychainNote.clear();
    ui->keychainNote->clear();
    ui->keychainNote->setToolTip(QString());
    if (!checked) {
        proxyManager->forgetSavedLogin();
        return;
    }
    connect(proxyManager, &ProxyManager::keychainChecked, this, &LoginWindow::keychainChecked,
            Qt::UniqueConnection);
    proxyManager->checkKeychain();
}

void LoginWindow::keychainChecked(bool answers, const QString &reason)
{
    if (answers || !ui->rememberMe->isChecked())
        return;
    noKeychainNote = tr("Remember me: no keychain answers (%1); the login is not remembered.")
                         .arg(SafeText::singleLine(reason, 200));
    const QString note = tr("No keychain: not saved");
    QLabel *label = ui->keychainNote;
    label->setText(
        label->fontMetrics().elidedText(note, Qt::ElideRight, label->contentsRect().width()));
    label->setToolTip(u"<p>"_s % noKeychainNote.toHtmlEscaped() % u"</p>"_s);
}

void LoginWindow::loginFinished(const QStringList &list)
{
    if (list.value(0).contains(u"ERROR")) {
        showError(list.value(0));
        return;
    }
    loggedIn = true;
    // A login read from the keychain is there already.
    const bool saved = autoLogin && autoLogin->isActive();
    if (autoLogin)
        autoLogin->stop();
    if (ui->rememberMe->isChecked() && noKeychainNote.isEmpty() && !saved)
        proxyManager->saveLogin();
    // Start-up connects by signature, so the same form is needed to undo it.
    disconnect(proxyManager, SIGNAL(finishedGetProxies(QStringList)), this,
               SLOT(loginFinished(QStringList)));
    // The main window takes over before this one closes, so the application never sees
    // a moment without a visible window while it still quits on the last one closing.
    emit logged();
    close();
}

bool LoginWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize && watched == ui->error_label)
        fitError();
    return QMainWindow::eventFilter(watched, event);
}

// The text comes from the service: it is shown as plain text on one line, so that it can
// neither load resources as markup nor push the fixed form's widgets about.
void LoginWindow::showError(const QString &text)
{
    ui->error_label->setStyleSheet(u"color: red"_s);
    errorText = text;
    const QString whole = SafeText::singleLine(text.trimmed(), 2000);
    ui->error_label->setToolTip(whole.isEmpty() ? QString()
                                                : u"<p>"_s % whole.toHtmlEscaped() % u"</p>"_s);
    fitError();
}

// Progress of a login without a press, in the error's place but not in red.
void LoginWindow::showStatus(const QString &text)
{
    showError(text);
    ui->error_label->setStyleSheet(QString());
}

void LoginWindow::fitError()
{
    QLabel *label = ui->error_label;
    const QString line = SafeText::singleLine(errorText.trimmed(), 1000);
    label->setText(
        label->fontMetrics().elidedText(line, Qt::ElideRight, label->contentsRect().width()));
}
