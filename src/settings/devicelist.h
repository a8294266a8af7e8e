#pragma once

#include <QJsonArray>
#include <QString>
#include <QVector>

// What a device list from the service does to the settings window, decided apart from any widget: the rows,
// the default device's label and whether the stored default is replaced.
struct DeviceRow
{
    QString id;   // the member "id" as text; a number or any other non-string reads as empty
    QString name; // the member "name", read the same way
};

struct DeviceListPlan
{
    QVector<DeviceRow> rows; // in the order of the reply
    // The row whose name the default-device label shows; -1 leaves the label as it is.
    int labelRow = -1;
    // True when the first row becomes the default device: its id is stored under "id".
    bool storeFirstAsDefault = false;
};

// savedId is the stored default device (StoredSession::savedDeviceId), "-1" when none was ever chosen. The saved device
// keeps being the default when the list still holds it (its last row with that id names it); otherwise, and when none
// was chosen, the first device becomes the default. An empty list changes neither the label nor the stored id.
DeviceListPlan planDeviceList(const QJsonArray &devices, const QString &savedId);
