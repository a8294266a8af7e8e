#include "settings/devicelist.h"
#include "settings/settingswindow.h"

#include "app/diagnostics.h"
#include "app/uilanguage.h"
#include "service/messages.h"
#include "service/requests.h"

#include <QFontMetrics>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QNetworkReply>
#include <QSettings>
#include <QStandardItemModel>

#include <algorithm>

namespace {
const QString apiKeyKey = QStringLiteral("apikey");
const QString idKey = QStringLiteral("id");
constexpr int idRole = Qt::UserRole + 1;
} // namespace

void SettingsWindow::requestDevices()
{
    service::sendRequest(manager, service::devicesUrl(settings->value(apiKeyKey, QStringLiteral("no")).toString()));
}

// Every reply of the window's manager comes here, whichever request it answers: its content alone says what
// it is.
void SettingsWindow::finishedRequest(QNetworkReply *reply)
{
    const bool failed = service::replyFailed(reply);
    const service::SettingsReply judged = service::judgeSettingsReply(failed, failed ? QByteArray() : reply->readAll());
    reply->deleteLater();

    switch (judged.outcome) {
    case service::SettingsOutcome::NetworkError:
        showWarning(service::settingsConnectionWarning(isFrenchInterface()));
        break;
    case service::SettingsOutcome::ApiKeyRefused:
        showWarning(service::settingsApiKeyWarning(isFrenchInterface()));
        break;
    case service::SettingsOutcome::DeviceList:
        rebuildDeviceList(judged.devices);
        break;
    case service::SettingsOutcome::NotJson:
    case service::SettingsOutcome::Nothing:
        break;
    }
}

void SettingsWindow::showWarning(const service::Warning &warning)
{
    QMessageBox::warning(this, warning.title, warning.text, QMessageBox::Ok, QMessageBox::NoButton);
}

void SettingsWindow::rebuildDeviceList(const QJsonArray &devices)
{
    auto *list = findChild<QListView *>(QStringLiteral("devicesList"));
    const DeviceListPlan plan = planDeviceList(devices, settings->value(idKey, QStringLiteral("-1")).toString());

    QStandardItemModel *oldModel = deviceModel;
    deviceIds.clear();
    deviceModel = new QStandardItemModel(plan.rows.size(), 1);
    for (int row = 0; row < plan.rows.size(); ++row) {
        auto *item = new QStandardItem(plan.rows.at(row).name);
        item->setData(plan.rows.at(row).id, idRole);
        deviceIds.append(plan.rows.at(row).id);
        deviceModel->setItem(row, 0, item);
    }

    if (plan.storeFirstAsDefault)
        settings->setValue(idKey, deviceIds.constFirst());
    if (plan.labelRow >= 0)
        showDefaultDevice(deviceModel->item(plan.labelRow, 0)->text());

    // The view lets go of the old model (closing an open editor) before it goes; the selection model the view
    // made for it goes with it.
    if (list)
        list->setModel(deviceModel);
    delete oldModel;

    // Only now: filling the model must not send a set-name request per row.
    connect(deviceModel, &QStandardItemModel::itemChanged, this, &SettingsWindow::onItemChanged);
}

void SettingsWindow::on_devicesList_clicked(const QModelIndex &index)
{
    const int row = index.row();
    if (!deviceModel || row < 0 || row >= deviceIds.size())
        return;
    const QString id = deviceIds.at(row);
    settings->setValue(idKey, id);
    showDefaultDevice(deviceModel->index(row, 0).data().toString());
    writeDiagnosticLine(id.toUtf8());
}

void SettingsWindow::onItemChanged(QStandardItem *item)
{
    const QString name = item->text();
    const QString id = item->data(idRole).toString();
    writeDiagnosticLine(name.toUtf8() + "    " + QByteArray::number(id.toInt()));

    const QString apiKey = settings->value(apiKeyKey, QStringLiteral("no")).toString();
    service::sendRequest(manager, service::setNameUrl(apiKey, id, name));

    showDefaultDevice(name);
}

// The name shares its line with "Default device :", which is drawn from the left: it gets the room that text
// leaves, elided, and the whole name as its tool tip.
void SettingsWindow::showDefaultDevice(const QString &name)
{
    auto *label = findChild<QLabel *>(QStringLiteral("currentDevice"));
    if (!label)
        return;
    const QRect area = label->contentsRect().translated(label->pos());
    int room = area.width();
    if (const auto *caption = findChild<QLabel *>(QStringLiteral("defaultDeviceLabel"))) {
        const QFontMetrics captionMetrics(caption->font());
        const int captionEnd = caption->x() + caption->contentsRect().x() +
                               captionMetrics.horizontalAdvance(caption->text() + QLatin1Char(' '));
        room = std::min(room, area.x() + area.width() - captionEnd);
    }
    label->setText(QFontMetrics(label->font()).elidedText(name, Qt::ElideRight, std::max(room, 0)));
    label->setToolTip(name);
}

void SettingsWindow::on_devicesList_objectNameChanged(const QString &objectName)
{
    writeDiagnosticLine(objectName.toUtf8());
}
