#include "LoginWindow.h"
#include "ui_LoginWindow.h"

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
    show();
}

void LoginWindow::on_pushButton_clicked()
{
    showError(QString());
    proxyManager->setCredentials(ui->username->text(), ui->password->text());
    proxyManager->requestProxies();
}

void LoginWindow::loginFinished(const QStringList &list)
{
    if (list.value(0).contains(u"ERROR")) {
        showError(list.value(0));
        return;
    }
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
    errorText = text;
    const QString whole = SafeText::singleLine(text.trimmed(), 2000);
    ui->error_label->setToolTip(whole.isEmpty() ? QString()
                                                : u"<p>"_s % whole.toHtmlEscaped() % u"</p>"_s);
    fitError();
}

void LoginWindow::fitError()
{
    QLabel *label = ui->error_label;
    const QString line = SafeText::singleLine(errorText.trimmed(), 1000);
    label->setText(
        label->fontMetrics().elidedText(line, Qt::ElideRight, label->contentsRect().width()));
}
