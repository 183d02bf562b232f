#pragma once

#include <QByteArray>
#include <QString>

// The publisher's signing: a minisign secret key signs the catalogue and the manifests it
// writes, each beside its file as FILE.minisig, with a trusted comment that names the file
// (see src/engine/release_signature.h). Ed25519 signatures are deterministic, and nothing is
// taken from the clock: the same inputs give the same bytes.
class ReleaseSigner {
public:
    // Reads keyFile (minisign's secret key file) and, when passwordFile is not empty, the
    // password on its first line. False, after printing the reason, when either fails.
    bool load(const QString &keyFile, const QString &passwordFile, qint64 sequence, qint64 expires);
    bool isLoaded() const { return !m_secretKey.isEmpty(); }

    // The signature file of data published under path ("/bin/versions.xml",
    // "/bin/manifest/V.xml"; version for a manifest, empty for the catalogue).
    QByteArray sign(const QByteArray &data, const QString &path, const QString &version) const;
    // Whether signature holds for data with this key, as a client checks it.
    bool verify(const QByteArray &data, const QByteArray &signature, const QString &path,
                const QString &version) const;

    qint64 sequence() const { return m_sequence; }

private:
    QByteArray m_keyId;
    QByteArray m_secretKey;
    QByteArray m_publicKey; // minisign's base64 form
    qint64 m_sequence = -1;
    qint64 m_expires = 0;
};

// The sequence in the trusted comment of an existing signature file at path: -1 when there
// is none (no file, or not one of ours).
qint64 signedSequence(const QString &signaturePath);
