#include "install/statistics.h"

#include <QSettings>
#include <QUuid>

namespace {

const QString idOrganization = QStringLiteral("ostrel");
const QString idApplication = QStringLiteral("kv");
const QString idKey = QStringLiteral("MachineUuid");

} // namespace

QString machineId()
{
    QSettings settings(idOrganization, idApplication);
    if (!settings.childKeys().contains(idKey))
        settings.setValue(idKey, QUuid::createUuid().toString());
    return settings.value(idKey).toString();
}
