#include "install/statistics.h"

#include "engine/bounded_buffer.h"
#include "engine/servers.h"
#include "install/registration.h"
#include "install/settings_lock.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QSettings>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>

namespace {

const QString idOrganization = QStringLiteral("ostrel");
const QString idApplication = QStringLiteral("kv");
const QString idKey = QStringLiteral("MachineUuid");
const QString sequencesGroup = QStringLiteral("ReleaseSequences");
const QString legacySequenceKey = QStringLiteral("ReleaseSequence");

const QString beaconPath = QStringLiteral("/c.gif");
const QString action = QStringLiteral("pcclientinstall");
const QString productId = QStringLiteral("plinther");
// The server recomputes the key with the same text, so it is shared with the server, not secret.
const QString signingText = QStringLiteral("QelbaRTWarnix");
// The beacon's answer is a pixel-sized image.
constexpr qint64 maxAnswerBytes = 64 * 1024;

} // namespace

QString machineId()
{
    QSettings settings(idOrganization, idApplication);
    // childKeys() searches the fallbacks too: an id that an administrator put in the
    // system-wide settings is the machine's, and the user gets no second one.
    if (!settings.childKeys().contains(idKey)) {
        removeAbandonedLock(settings);
        settings.setValue(idKey, QUuid::createUuid().toString());
    }
    return settings.value(idKey).toString();
}

namespace {

// A stored sequence: text of a positive number, else 0.
qint64 sequenceValue(const QVariant &value)
{
    bool ok = false;
    const qint64 sequence = value.toString().toLongLong(&ok);
    return ok && sequence > 0 ? sequence : 0;
}

} // namespace

QMap<QByteArray, qint64> acceptedReleaseSequences()
{
    QSettings settings(idOrganization, idApplication);
    settings.beginGroup(sequencesGroup);
    QMap<QByteArray, qint64> sequences;
    for (const QString &keyId : settings.childKeys())
        sequences.insert(keyId.toLatin1(), sequenceValue(settings.value(keyId)));
    return sequences;
}

qint64 legacyReleaseSequence()
{
    QSettings settings(idOrganization, idApplication);
    return sequenceValue(settings.value(legacySequenceKey));
}

void storeReleaseSequence(const QByteArray &keyId, qint64 sequence)
{
    if (keyId.isEmpty() || sequence <= acceptedReleaseSequences().value(keyId, 0))
        return;
    QSettings settings(idOrganization, idApplication);
    removeAbandonedLock(settings);
    // As text: the same in an INI file and in the registry.
    settings.setValue(sequencesGroup + QLatin1Char('/') + QString::fromLatin1(keyId),
                      QString::number(sequence));
}

void sendStatistics(JobMode mode, bool succeeded, const TransferLimits &limits)
{
    if (!succeeded || mode == JobMode::Uninstall)
        return;

    const QString time = QString::number(QDateTime::currentMSecsSinceEpoch());
    const QByteArray key =
        QCryptographicHash::hash((action + time + signingText).toUtf8(), QCryptographicHash::Md5).toHex();

    QUrlQuery query;
    query.addQueryItem(QStringLiteral("act"), action);
    query.addQueryItem(QStringLiteral("time"), time);
    query.addQueryItem(QStringLiteral("key"), QString::fromLatin1(key));
    query.addQueryItem(QStringLiteral("prodid"), productId);
    query.addQueryItem(QStringLiteral("cliver"), product::displayVersion);
    query.addQueryItem(QStringLiteral("code"), machineId());
    query.addQueryItem(QStringLiteral("from"), product::distributor);
    query.addQueryItem(QStringLiteral("type"), QString::number(static_cast<int>(mode)));
    QUrl url(servers::statistics() + beaconPath);
    url.setQuery(query);

    // The answer (a tiny image or an error page) means nothing to us; it only has to go
    // somewhere while it arrives. A server that sends more than any such answer is cut off
    // rather than allowed to fill memory.
    QByteArray answer;
    BoundedBuffer discard(&answer, maxAnswerBytes);
    discard.open(QIODevice::WriteOnly);
    HttpTransfer transfer(url, &discard, limits);
    transfer.perform();
}
