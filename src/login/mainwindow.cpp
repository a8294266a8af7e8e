#include "login/mainwindow.h"

#include "app/config.h"
#include "app/diagnostics.h"
#include "app/storedsession.h"
#include "app/uilanguage.h"
#include "app/windowfont.h"
#include "service/messages.h"
#include "service/requests.h"
#include "service/serviceaddress.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QSystemTrayIcon>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), form(std::make_unique<Ui::MainWindow>()), transferTimeoutMs(service::transferTimeoutMs)
{
    provideWindowFont();
    form->setupUi(this);
    // The form's pixmap is the plain picture; through QIcon the double-resolution one serves scaled screens.
    form->label->setPixmap(QIcon(QStringLiteral(":/images/connexion.png")).pixmap(form->label->size()));

    // A fixed picture with fields laid over it: it can neither grow nor be maximised.
    setFixedSize(size());
    setWindowFlags(windowFlags() ^ Qt::WindowMaximizeButtonHint);

    manager = new QNetworkAccessManager(this);
    connect(manager, &QNetworkAccessManager::finished, this, &MainWindow::finishedRequest);

    requestPending = false;

    settings = std::make_unique<QSettings>(configFilePath(), QSettings::IniFormat);
    const QString apiKey = StoredSession(*settings).apiKey();
    if (StoredSession::isSignedIn(apiKey)) {
        writeDiagnosticLine("connected " + maskedApiKey(apiKey));
    } else {
        writeDiagnosticLine("not connected");
        // Grey and without a menu: there is nothing to show or end but this window.
        trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/icons/tapvela_Tray_Icone_16x16_Off.png")), this);
        trayIcon->setToolTip(QStringLiteral("tapvela"));
        trayIcon->setVisible(true);
    }

    if (isFrenchInterface()) {
        setWindowTitle(QStringLiteral("tapvela - connexion"));
        form->username->setPlaceholderText(QStringLiteral("nom d'utilisateur"));
        form->password->setPlaceholderText(QStringLiteral("mot de passe"));
    }
    showServiceLine();
}

MainWindow::~MainWindow() = default;

void MainWindow::setTransferTimeout(int milliseconds)
{
    transferTimeoutMs = milliseconds;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (trayIcon)
        trayIcon->hide();
    event->accept();
}

void MainWindow::on_connection_clicked()
{
    // The press, the click that follows on release and Return all arrive here: one request at a time.
    if (requestPending)
        return;
    service::sendRequest(manager, service::loginUrl(form->username->text(), form->password->text()), transferTimeoutMs);
    requestPending = true;
}

void MainWindow::on_connection_pressed()
{
    on_connection_clicked();
}

void MainWindow::on_password_returnPressed()
{
    on_connection_clicked();
}

void MainWindow::on_username_returnPressed()
{
    on_connection_clicked();
}

void MainWindow::showServiceLine()
{
    const bool french = isFrenchInterface();
    const QString url = service::baseUrl();
    const QString label = french ? QStringLiteral("Service : ") : QStringLiteral("Service: ");
    const QFontMetrics metrics(form->serviceLine->font());
    const int room = form->serviceLine->width() - metrics.horizontalAdvance(label);
    form->serviceLine->setText(label +
                               metrics.elidedText(service::displayedServiceAddress(url), Qt::ElideMiddle, room));
    form->serviceLine->setToolTip(url);
    form->serviceChange->setText(QStringLiteral("<a href=\"change\">%1</a>")
                                     .arg(french ? QStringLiteral("Changer…") : QStringLiteral("Change…")));
}

void MainWindow::on_serviceChange_linkActivated(const QString &link)
{
    Q_UNUSED(link)
    // The whole URL: an http address shown without its scheme would come back as https.
    askServiceAddress(service::configuredServiceUrl());
}

void MainWindow::askServiceAddress(const QString &text)
{
    const bool french = isFrenchInterface();
    // Not exec(): the window keeps its event loop, and the answer comes back through the signal.
    auto *dialog = new QInputDialog(this);
    dialog->setObjectName(QStringLiteral("serviceDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QStringLiteral("tapvela - service"));
    dialog->setLabelText(french ? QStringLiteral("Adresse du service tapvela\n(push.example.org, "
                                                 "https://push.example.org, 192.168.1.20:48080) :")
                                : QStringLiteral("The tapvela service's address\n(push.example.org, "
                                                 "https://push.example.org, 192.168.1.20:48080):"));
    dialog->setTextValue(text);
    // Queued: the answer may open a message box, whose event loop would delete the closed dialog while it is
    // still inside its own signal.
    connect(dialog, &QInputDialog::textValueSelected, this, &MainWindow::applyServiceAddress, Qt::QueuedConnection);
    dialog->open();
}

void MainWindow::applyServiceAddress(const QString &typed)
{
    const bool french = isFrenchInterface();
    const service::ServiceAddress address = service::normaliseServiceAddress(typed);
    if (!address.accepted()) {
        showWarning(service::loginAddressWarning(french, service::addressProblemText(address.problem, french)));
        askServiceAddress(typed);
        return;
    }
    if (address.needsHttpConsent) {
        const service::Warning consent =
            service::loginAddressWarning(french, service::httpWarningText(address.url, french));
        const auto answer = QMessageBox::warning(this, consent.title, consent.text,
                                                 QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel);
        if (answer != QMessageBox::Ok) {
            askServiceAddress(typed);
            return;
        }
    }
    StoredSession(*settings).setServer(address.url);
    settings->sync();
    writeDiagnosticLine("service " + address.url.toUtf8());
    showServiceLine();
}

void MainWindow::showWarning(const service::Warning &warning)
{
    QMessageBox::warning(this, warning.title, warning.text, QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWindow::finishedRequest(QNetworkReply *reply)
{
    requestPending = false;
    const service::LoginReply answer = service::takeLoginReply(reply);
    const bool french = isFrenchInterface();

    switch (answer.outcome) {
    case service::LoginOutcome::ConnectionFailure:
        showWarning(service::loginConnectionWarning(french));
        return;
    case service::LoginOutcome::RefusedCredentials:
        writeDiagnosticLine(answer.text.toUtf8());
        showWarning(service::loginCredentialsWarning(french));
        return;
    case service::LoginOutcome::NotService:
        writeDiagnosticLine("not a tapvela service");
        showWarning(service::loginNotServiceWarning(french, service::displayedServiceAddress(service::baseUrl())));
        return;
    case service::LoginOutcome::TooManyAttempts:
        showWarning(service::loginTooManyAttemptsWarning(french, answer.retryAfterSeconds));
        return;
    case service::LoginOutcome::ApiKey:
        break;
    }

    // The reply is the api key: a secret, never printed whole.
    writeDiagnosticLine(maskedApiKey(answer.text));
    StoredSession(*settings).setApiKey(answer.text);
    // On disk before the settings window starts, so that a sign-in is never lost to a crash after it.
    settings->sync();
    emit signedIn();
}
