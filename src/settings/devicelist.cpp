#include "settings/devicelist.h"

#include "app/storedsession.h"

#include <QJsonObject>
#include <QJsonValue>

DeviceListPlan planDeviceList(const QJsonArray &devices, const QString &savedId)
{
    DeviceListPlan plan;
    plan.rows.reserve(devices.size());
    bool found = false;
    for (const QJsonValue &element : devices) {
        const QJsonObject device = element.toObject();
        DeviceRow row{device.value(QLatin1String("id")).toString(), device.value(QLatin1String("name")).toString()};
        if (row.id == savedId) {
            plan.labelRow = plan.rows.size();
            found = true;
        }
        plan.rows.append(row);
    }
    if (!plan.rows.isEmpty() && (savedId == QLatin1String(StoredSession::neverChosenDeviceId) || !found)) {
        plan.storeFirstAsDefault = true;
        plan.labelRow = 0;
    }
    return plan;
}
