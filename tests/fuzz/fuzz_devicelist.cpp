#include "fuzzcheck.h"
#include "settings/devicelist.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstddef>
#include <cstdint>

// The first line is the stored default id (config.ini is the user's to edit), the rest the service's reply.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const int lineEnd = input.indexOf('\n');
    const QString savedId = QString::fromUtf8(input.left(lineEnd < 0 ? 0 : lineEnd));
    const QJsonDocument reply = QJsonDocument::fromJson(input.mid(lineEnd + 1));
    const QJsonArray devices =
        reply.isArray() ? reply.array() : reply.object().value(QLatin1String("devices")).toArray();

    const DeviceListPlan plan = planDeviceList(devices, savedId);
    require(plan.rows.size() == devices.size(), "one row per device");
    if (plan.rows.isEmpty()) {
        require(plan.labelRow == -1 && !plan.storeFirstAsDefault, "an empty list leaves the label and the id");
        return 0;
    }
    require(plan.labelRow >= 0 && plan.labelRow < plan.rows.size(), "the label names a row of a non-empty list");
    int lastSaved = -1;
    for (int row = 0; row < plan.rows.size(); ++row) {
        if (plan.rows[row].id == savedId)
            lastSaved = row;
    }
    if (plan.storeFirstAsDefault) {
        require(plan.labelRow == 0, "a new default is the first device");
        require(lastSaved < 0 || savedId == QLatin1String("-1"), "a listed default is kept");
    } else {
        require(plan.labelRow == lastSaved, "the label names the last row holding the saved id");
    }
    return 0;
}
