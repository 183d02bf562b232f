#pragma once

#include "base/job_mode.h"
#include "engine/http_transfer.h"

#include <QByteArray>
#include <QMap>
#include <QString>

// The machine id: a GUID in braces ("{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", lower case) kept
// under "MachineUuid" in the settings of organisation "ostrel", application "kv". Created on
// first use and kept for good (uninstallation leaves it). A value found only through QSettings'
// fallbacks (organisation-wide or system-wide settings) is used as it is and nothing is written.
// Returns what the settings hold, an empty string when the id could not be stored.
QString machineId();

// The highest catalogue sequence accepted on this machine by a build with release keys, for
// each signing key, so that no server can later hand an older signed catalogue to this user:
// key id (release::keyIdText) to sequence, kept beside the machine id as
// "ReleaseSequences/<key id>". Programs before kept one number for all keys, "ReleaseSequence";
// legacyReleaseSequence() reads it (0 when none is kept) and nothing writes it any more.
// storeReleaseSequence keeps the higher of the stored value and sequence for that key (an empty
// key id or a negative sequence changes nothing).
QMap<QByteArray, qint64> acceptedReleaseSequences();
qint64 legacyReleaseSequence();
void storeReleaseSequence(const QByteArray &keyId, qint64 sequence);

// Reports a finished task to the statistics server: one GET of servers::statistics() + "/c.gif"
// whose query holds, in this order, act, time (ms since the epoch, UTC), key (lower-case hex MD5
// of act, time and the signing text), prodid, cliver, code (the machine id, created here when
// missing), from and type (the mode's number). Only a successful install or update is reported;
// an uninstall or a failed task sends nothing. Blocks the calling thread (the task's worker) for
// the request, at most as long as limits allow a server that is absent or stops answering; the
// outcome is not looked at, so the task's own result never depends on it.
void sendStatistics(JobMode mode, bool succeeded, const TransferLimits &limits = {});
