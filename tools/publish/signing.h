#pragma once

#include <QByteArray>
#include <QString>

// The publisher's signing: a minisign secret key signs the catalogue and the manifests it
// writes, each beside its file as FILE.minisig, with a trusted comment that names the file
// (see src/engine/release_signature.h). Ed25519 signatures are deterministic, and nothing is
// taken from the clock: the same inputs give the same bytes.
// The secret key stays in memory locked against swapping while the signer lives and is wiped
// when it goes; the key file's text and the password are wiped as soon as the key is read.
class ReleaseSigner {
public:
    ReleaseSigner() = default;
    ~ReleaseSigner();
    ReleaseSigner(const ReleaseSigner &) = delete;
    ReleaseSigner &operator=(const ReleaseSigner &) = delete;

    // Reads keyFile (minisign's secret key file) and, when passwordFile is not empty, the
    // password on its first line. expectedKeys: when not empty, minisign public keys
    // (';'-separated, as the clients are built with) one of which must be this key's. False,
    // after printing the reason, when any of it fails.
    bool load(const QString &keyFile, const QString &passwordFile, const QString &expectedKeys,
              qint64 sequence, qint64 expires);
    bool isLoaded() const { return !m_secretKey.isEmpty(); }

    // The signature file of data published under path ("/bin/versions.xml",
    // "/bin/manifest/V.xml"; version for a manifest, empty for the catalogue).
    QByteArray sign(const QByteArray &data, const QString &path, const QString &version) const;
    // Whether signature holds for data as a client checks it: with the expected keys when
    // they were given, with this key's own otherwise.
    bool verify(const QByteArray &data, const QByteArray &signature, const QString &path,
                const QString &version) const;

    qint64 sequence() const { return m_sequence; }

private:
    QByteArray m_keyId;
    QByteArray m_secretKey;
    QByteArray m_verifyingKeys; // minisign's base64 form, ';'-separated
    qint64 m_sequence = -1;
    qint64 m_expires = 0;
};

// The sequence in the trusted comment of an existing signature file at path: -1 when there
// is none (no file, or not one of ours).
qint64 signedSequence(const QString &signaturePath);
