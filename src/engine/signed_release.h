#pragma once

#include "engine/release_signature.h"
#include "engine/transfer_limits.h"

#include <QByteArray>
#include <QString>

class TransferConnection;

// How the update engine uses the release signatures (engine/release_signature.h) of a build
// with keys: the detached signature of each file the catalogue server gives is fetched beside
// it, and a file whose signature does not hold is treated as a file that did not arrive.
namespace release {

// Whether this program checks signatures at all (it has keys).
bool isSigning();

// Whether a client installed beside the program (a flat one, or one listed by a catalogue in
// the program's directory) may be started: always in a build without keys; in one with keys
// only when the vendor built it so (KORVEL_RELEASE_CLIENTS_BESIDE_PROGRAM). Nothing signed
// vouches for such files, and a browser can drop them next to a downloaded installer.
bool startsClientsBesideProgram();

// GETs the detached signature of the catalogue server's file at path (path + ".minisig") over
// connection. False for any answer but 200, or one larger than a signature file can be. limits:
// with their small-file deadline.
bool fetchSignature(const QString &path, QByteArray *signature, const TransferLimits &limits,
                    TransferConnection &connection);

// Verifies data against signature with the compiled-in keys for path and version (URL path
// text, version empty for the catalogue) at the present time; sequence receives the signed
// sequence and keyId (when given) the signing key's id as keyIdText gives it.
bool verifySigned(const QByteArray &data, const QByteArray &signature, const QString &path,
                  const QString &version, qint64 *sequence, QByteArray *keyId = nullptr);

// A SHA-256 in hex (64 digits, either case) and a size in plain decimal (at most 18 digits), as
// the signed catalogue and manifests give a file's content; false when either is malformed.
bool parseSignedContent(const QString &sha256Hex, const QString &sizeText, QByteArray *sha256, qint64 *size);

// The id (as keyIdText gives it) of the key that made a signature file, verified or not; empty
// when text is no signature file.
QByteArray signingKeyId(const QByteArray &signature);

} // namespace release
