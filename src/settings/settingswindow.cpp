#include "settings/settingswindow.h"

#include "app/config.h"
#include "app/diagnostics.h"
#include "app/session.h"
#include "app/storedsession.h"
#include "app/uilanguage.h"
#include "app/windowfont.h"
#include "hotkey/sending.h"
#include "service/messages.h"
#include "service/requests.h"
#include "service/serviceaddress.h"
#include "settings/devicelist.h"
#include "settings/phonepairingwindow.h"
#include "settings/runatstartup.h"
#include "settings/trayicon.h"
#include "ui_settingswindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QIcon>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSessionManager>
#include <QSettings>
#include <QStandardItemModel>
#include <QTimer>

#include <algorithm>
#include <atomic>

namespace {

constexpr int idRole = Qt::UserRole + 1;

// Without a notification area (a bare GNOME session) a hidden window could never be shown again: the window
// then stays in the taskbar. Said once per run on standard output.
bool systemTrayAvailable()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        return true;
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        writeDiagnosticLine("no system tray: the settings window stays in the taskbar instead of hiding");
    return false;
}

// Said once per run, by the first settings window that the user sees.
std::atomic<bool> waylandTold{false};

} // namespace

QStringList hotkeyEntryTexts()
{
    QStringList texts;
    for (const QString &modifier : {QString(), QStringLiteral("CTRL + "), QStringLiteral("ALT + ")}) {
        for (int key = 1; key <= 12; ++key)
            texts.append(modifier + QLatin1Char('F') + QString::number(key));
    }
    return texts;
}

SettingsWindow::SettingsWindow(QWidget *parent) : QMainWindow(parent), form(std::make_unique<Ui::SettingsWindow>())
{
    provideWindowFont();
    form->setupUi(this); // ends by connecting the on_<object>_<signal> slots
    // The form's pixmap is the plain picture; through QIcon the double-resolution one serves scaled screens.
    form->label->setPixmap(QIcon(QStringLiteral(":/images/settings.png")).pixmap(form->label->size()));

    setFixedSize(size());
    // A top-level window's default flags include the maximise button: flipping the hint removes it.
    setWindowFlags(windowFlags() ^ Qt::WindowMaximizeButtonHint);

    // Signed in, the program ends only through the tray menu: without this, closing a warning box while this
    // window is hidden would close the last visible window and end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    // Qt's fallback session management asks every visible window to close when the session ends, and this one
    // only hides: its refusal would cancel the user's log-off or shutdown. Without the fallback, the settings
    // reach the disk when the session asks, and Qt ends the program when the session ends (WM_ENDSESSION on
    // Windows, the session manager's "die" on X11).
    QGuiApplication::setFallbackSessionManagementEnabled(false);
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { settings->sync(); });

    manager = new QNetworkAccessManager(this);
    connect(manager, &QNetworkAccessManager::finished, this, &SettingsWindow::finishedRequest);

    settings = std::make_unique<QSettings>(configFilePath(), QSettings::IniFormat);

    requestDevices();

    // The first entry becomes current as it is added, and the stored choice is selected next: each change is
    // announced, and nothing is stored since the window is not active yet.
    form->keyList->addItems(hotkeyEntryTexts());
    form->keyList->setCurrentIndex(session().hotkeyIndex());
    session().keepHotkeyIndex();

    trayIcon = new TrayIcon(this);
    connect(trayIcon, &TrayIcon::showRequested, this, &SettingsWindow::onClickSysTray);
    connect(trayIcon, &TrayIcon::quitRequested, this, &SettingsWindow::forceClose);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &SettingsWindow::onClickSystemTray);
    // Which service this window is signed in to, where the user looks for the program.
    trayIcon->setToolTip(QStringLiteral("tapvela - ") + service::displayedServiceAddress(service::baseUrl()));
    trayIcon->setVisible(true);
    systemTrayAvailable(); // a desktop without a tray is told at once, not at the first close

    const bool french = isFrenchInterface();
    if (french) {
        setWindowTitle(QStringLiteral("tapvela - configuration"));
        form->defaultDeviceLabel->setText(QStringLiteral("Appareil par défaut :"));
        form->keyLabel->setText(QStringLiteral("Touche :"));
        form->disconnect->setText(QStringLiteral("déconnexion"));
        form->addPhone->setText(QStringLiteral("Ajouter un téléphone…"));
    }
    // Windows' start with Windows is the start at login elsewhere.
    form->startCheckBox->setText(runAtStartupText(french));

    // A present entry is rewritten with the program now running, so a moved program mends its own entry.
    if (isRunAtStartupEnabled()) {
        form->startCheckBox->setChecked(true); // the slot writes the entry
        enableRunAtStartup();
    } else {
        form->startCheckBox->setChecked(false);
    }
}

SettingsWindow::~SettingsWindow()
{
    // Replies torn down with the manager must not reach a half-gone window.
    manager->disconnect(this);
    delete manager;
}

int SettingsWindow::hotkeyIndex() const
{
    return form->keyList->currentIndex();
}

StoredSession SettingsWindow::session() const
{
    return StoredSession(*settings);
}

void SettingsWindow::closeEvent(QCloseEvent *event)
{
    event->ignore();
    if (systemTrayAvailable())
        hide();
    else
        showMinimized();
}

void SettingsWindow::changeEvent(QEvent *event)
{
    if (event->type() != QEvent::WindowStateChange)
        return;
    if (isMinimized()) {
        if (systemTrayAvailable())
            hide();
    } else if (isVisible()) { // restored from the taskbar
        tellWaylandSession();
    }
}

void SettingsWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Not at a silent start, which shows the window minimised: the notice waits until the user opens it.
    if (!isMinimized())
        tellWaylandSession();
}

void SettingsWindow::tellWaylandSession()
{
    if (!isWaylandSession() || waylandTold.exchange(true))
        return;
    // Once the window is on the screen, so that the box stands over it.
    QTimer::singleShot(0, this, [this] { showWarning(service::settingsWaylandWarning(isFrenchInterface())); });
}

void SettingsWindow::showWarning(const service::Warning &warning)
{
    // As QMessageBox::warning builds it (asked for no default button, it makes OK the default), but never as rich
    // text: a message may come from the service.
    QMessageBox box(QMessageBox::Warning, warning.title, warning.text, QMessageBox::Ok, this);
    box.setDefaultButton(QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void SettingsWindow::sendSelection(const QString &number)
{
    // A capture announced just before this window signed out pushes nothing.
    const StoredSession stored = session();
    if (disconnected || !stored.canPush())
        return;
    service::sendRequest(manager,
                         service::pushUrl(stored.apiKey(), isFrenchInterface(), *stored.pushDeviceId(), number));
}

void SettingsWindow::createSendingWindow()
{
    // Only beside a push: an announcement queued before this window signed out sent none.
    if (disconnected)
        return;
    auto *indicator = new Sending;
    indicator->show();
    indicator->setFocus(Qt::OtherFocusReason);
    QTimer::singleShot(Sending::shownMs, indicator, [indicator] {
        indicator->hide();
        indicator->deleteLater();
    });
}

void SettingsWindow::showNumberNotFound(NumberSearch why)
{
    // Where the user looks after the press, without the keyboard focus: they go on typing where they were.
    auto *message = new Sending(Sending::notFoundText(why, isFrenchInterface()));
    message->show();
    QTimer::singleShot(Sending::messageShownMs, message, [message] {
        message->hide();
        message->deleteLater();
    });
}

void SettingsWindow::onClickSystemTray(QSystemTrayIcon::ActivationReason reason)
{
    // The context menu opens by itself; a double or middle click does nothing.
    if (reason != QSystemTrayIcon::Trigger)
        return;
    showNormal();
    setFocus(Qt::OtherFocusReason);
    requestDevices();
}

void SettingsWindow::onClickSysTray()
{
    onClickSystemTray(QSystemTrayIcon::Trigger);
}

void SettingsWindow::forceClose()
{
    trayIcon->hide();
    QCoreApplication::exit(0);
}

void SettingsWindow::on_keyList_currentIndexChanged(int index)
{
    // Only the user's own choice is stored: the changes made while the window is built are not.
    if (form->keyList->isActiveWindow() && settings)
        session().setHotkeyIndex(index);
    emit hotkeyIndexChanged(index);
}

void SettingsWindow::on_startCheckBox_stateChanged(int arg1)
{
    // The box is not tristate: 0 is unchecked, anything else checked.
    if (arg1 != 0)
        enableRunAtStartup();
    else
        disableRunAtStartup();
}

void SettingsWindow::on_disconnect_clicked()
{
    session().signOut();
    // Signed out, the hotkey must send nothing (not a push with the api key "no"), whatever is still queued.
    disconnected = true;
    trayIcon->hide();
    // The login window comes from whoever listens, and this window goes when its owner lets it go.
    emit signedOut();
    hide();
}

// The device list and the default device.

void SettingsWindow::requestDevices()
{
    service::sendRequest(manager, service::devicesUrl(session().apiKey()));
}

// Every reply of the window's manager comes here, whichever request it answers: its content alone says what
// it is.
void SettingsWindow::finishedRequest(QNetworkReply *reply)
{
    const service::SettingsReply judged = service::takeSettingsReply(reply);
    switch (judged.outcome) {
    case service::SettingsOutcome::NetworkError:
        showWarning(service::settingsConnectionWarning(isFrenchInterface()));
        break;
    case service::SettingsOutcome::ApiKeyRefused:
        showWarning(service::settingsApiKeyWarning(isFrenchInterface()));
        break;
    case service::SettingsOutcome::ServiceMessage:
        showWarning(service::settingsServiceWarning(isFrenchInterface(), judged.message));
        break;
    case service::SettingsOutcome::DeviceList:
        rebuildDeviceList(judged.devices);
        break;
    case service::SettingsOutcome::PhonePage:
        if (judged.hasDevices)
            rebuildDeviceList(judged.devices);
        showPhonePage(judged.page, judged.qr);
        break;
    case service::SettingsOutcome::BrokenPhonePage:
        // A device added is in the list all the same: "Show on phone…" asks for its page again.
        if (judged.hasDevices)
            rebuildDeviceList(judged.devices);
        showWarning(service::settingsBrokenPhonePageWarning(isFrenchInterface()));
        break;
    case service::SettingsOutcome::BadName:
        showWarning(service::settingsBadNameWarning(isFrenchInterface()));
        break;
    case service::SettingsOutcome::TooManyDevices:
        showWarning(service::settingsTooManyDevicesWarning(isFrenchInterface()));
        break;
    case service::SettingsOutcome::NotJson:
    case service::SettingsOutcome::Nothing:
        break;
    }
}

void SettingsWindow::rebuildDeviceList(const QJsonArray &devices)
{
    const DeviceListPlan plan = planDeviceList(devices, session().savedDeviceId());

    std::unique_ptr<QStandardItemModel> oldModel = std::move(deviceModel);
    deviceIds.clear();
    deviceModel = std::make_unique<QStandardItemModel>(plan.rows.size(), 1);
    for (int row = 0; row < plan.rows.size(); ++row) {
        auto *item = new QStandardItem(plan.rows.at(row).name);
        item->setData(plan.rows.at(row).id, idRole);
        deviceIds.append(plan.rows.at(row).id);
        deviceModel->setItem(row, 0, item);
    }

    if (plan.storeFirstAsDefault)
        session().setDefaultDeviceId(deviceIds.constFirst());
    if (plan.labelRow >= 0)
        showDefaultDevice(deviceModel->item(plan.labelRow, 0)->text());

    // The view lets go of the old model (closing an open editor) before it goes; the selection model the view
    // made for it goes with it.
    form->devicesList->setModel(deviceModel.get());
    oldModel.reset();

    // Only now: filling the model must not send a set-name request per row.
    connect(deviceModel.get(), &QStandardItemModel::itemChanged, this, &SettingsWindow::onItemChanged);
}

void SettingsWindow::on_devicesList_clicked(const QModelIndex &index)
{
    const int row = index.row();
    if (!deviceModel || row < 0 || row >= deviceIds.size())
        return;
    const QString id = deviceIds.at(row);
    session().setDefaultDeviceId(id);
    showDefaultDevice(deviceModel->index(row, 0).data().toString());
    writeDiagnosticLine(id.toUtf8());
}

void SettingsWindow::onItemChanged(QStandardItem *item)
{
    const QString name = item->text();
    const QString id = item->data(idRole).toString();
    writeDiagnosticLine(name.toUtf8() + "    " + QByteArray::number(id.toInt()));

    service::sendRequest(manager, service::setNameUrl(session().apiKey(), id, name));

    // The label names the default device: a row reached with the keyboard and renamed may be another one.
    if (id == session().savedDeviceId())
        showDefaultDevice(name);
}

// The name shares its line with "Default device :", which is drawn from the left: it gets the room that text
// leaves, elided, and the whole name as its tool tip.
void SettingsWindow::showDefaultDevice(const QString &name)
{
    QLabel *label = form->currentDevice;
    const QRect area = label->contentsRect().translated(label->pos());
    const QLabel *caption = form->defaultDeviceLabel;
    const QFontMetrics captionMetrics(caption->font());
    const int captionEnd = caption->x() + caption->contentsRect().x() +
                           captionMetrics.horizontalAdvance(caption->text() + QLatin1Char(' '));
    const int room = std::min(area.width(), area.x() + area.width() - captionEnd);
    label->setText(QFontMetrics(label->font()).elidedText(name, Qt::ElideRight, std::max(room, 0)));
    label->setToolTip(name);
}

void SettingsWindow::on_devicesList_objectNameChanged(const QString &objectName)
{
    writeDiagnosticLine(objectName.toUtf8());
}

// Pairing a phone: a new device, or an existing one's page, shown as a QR code for the phone's camera.

void SettingsWindow::on_addPhone_clicked()
{
    const bool french = isFrenchInterface();
    // Not QInputDialog::getText: its nested event loop would hold this slot open while the window may go.
    auto *dialog = new QInputDialog(this);
    dialog->setObjectName(QStringLiteral("phoneNameDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowFlags(dialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    dialog->setWindowTitle(french ? QStringLiteral("tapvela - ajouter un téléphone")
                                  : QStringLiteral("tapvela - add a phone"));
    dialog->setLabelText(french ? QStringLiteral("Nom du téléphone :") : QStringLiteral("Name of the phone:"));
    dialog->setOkButtonText(french ? QStringLiteral("Ajouter") : QStringLiteral("Add"));
    dialog->setCancelButtonText(french ? QStringLiteral("Annuler") : QStringLiteral("Cancel"));
    connect(dialog, &QInputDialog::textValueSelected, this, [this](const QString &typed) {
        const QString name = typed.trimmed();
        if (!name.isEmpty())
            service::sendRequest(manager, service::addDeviceUrl(session().apiKey(), name));
    });
    dialog->open();
    // The rules of device names: 1 to 64 characters; a blank name cannot be confirmed. The dialog builds its
    // field and buttons when it opens.
    auto *field = dialog->findChild<QLineEdit *>();
    auto *buttons = dialog->findChild<QDialogButtonBox *>();
    if (field && buttons) {
        field->setMaxLength(64);
        QPushButton *ok = buttons->button(QDialogButtonBox::Ok);
        ok->setEnabled(false);
        connect(field, &QLineEdit::textChanged, ok,
                [ok](const QString &text) { ok->setEnabled(!text.trimmed().isEmpty()); });
    }
}

void SettingsWindow::on_devicesList_customContextMenuRequested(const QPoint &pos)
{
    const bool french = isFrenchInterface();
    const int row = form->devicesList->indexAt(pos).row();
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("devicesMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction *show =
        menu->addAction(french ? QStringLiteral("Afficher sur le téléphone…") : QStringLiteral("Show on phone…"));
    show->setObjectName(QStringLiteral("showOnPhone"));
    show->setEnabled(row >= 0 && row < deviceIds.size());
    // The device of the row clicked, even if a new list comes while the menu is open.
    const QString id = deviceIds.value(row);
    connect(show, &QAction::triggered, this, [this, id] { showOnPhone(id); });
    QAction *add = menu->addAction(form->addPhone->text());
    add->setObjectName(QStringLiteral("addPhoneAction"));
    connect(add, &QAction::triggered, this, &SettingsWindow::on_addPhone_clicked);
    menu->popup(form->devicesList->viewport()->mapToGlobal(pos));
}

void SettingsWindow::showOnPhone(const QString &id)
{
    service::sendRequest(manager, service::devicePageUrl(session().apiKey(), id));
}

void SettingsWindow::showPhonePage(const QString &page, const service::QrCode &code)
{
    if (!pairingWindow) {
        pairingWindow = new PhonePairingWindow(this);
        pairingWindow->setAttribute(Qt::WA_DeleteOnClose);
    }
    pairingWindow->showPage(page, code);
    pairingWindow->show();
    pairingWindow->raise();
    pairingWindow->activateWindow();
}
