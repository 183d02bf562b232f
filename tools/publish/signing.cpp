#include "signing.h"

#include "publish_log.h"

#include "engine/release_signature.h"

#include <QFile>

#include <cstdio>

#include <sodium.h>

using publish::fail;

namespace {

QByteArray readAll(const QString &path, bool *ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.readAll() : QByteArray();
}

// A secret: read unbuffered into one buffer of the file's size, so that no copy of it is left
// behind in memory that was grown or freed on the way, and that buffer alone is to be wiped.
QByteArray readSecret(const QString &path, bool *ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) && file.size() < 64 * 1024;
    if (!*ok)
        return QByteArray();
    QByteArray text(int(file.size()), '\0');
    *ok = file.read(text.data(), text.size()) == text.size();
    return text;
}

void wipe(QByteArray *secret)
{
    if (!secret->isEmpty())
        sodium_memzero(secret->data(), size_t(secret->size()));
    secret->clear();
}

} // namespace

ReleaseSigner::~ReleaseSigner()
{
    // Zeroes the key, then lets the pages go.
    if (!m_secretKey.isEmpty())
        sodium_munlock(m_secretKey.data(), size_t(m_secretKey.size()));
}

bool ReleaseSigner::load(const QString &keyFile, const QString &passwordFile, const QString &expectedKeys,
                         qint64 sequence, qint64 expires)
{
    bool ok = false;
    QByteArray keyText = readSecret(keyFile, &ok);
    if (!ok) {
        wipe(&keyText);
        fail(QStringLiteral("cannot read the secret key %1").arg(keyFile));
        return false;
    }
    QByteArray passwordText;
    QByteArray password; // the first line of passwordText, not a copy of it
    if (!passwordFile.isEmpty()) {
        passwordText = readSecret(passwordFile, &ok);
        if (!ok) {
            wipe(&keyText);
            wipe(&passwordText);
            fail(QStringLiteral("cannot read the password file %1").arg(passwordFile));
            return false;
        }
        int end = passwordText.indexOf('\n');
        if (end < 0)
            end = passwordText.size();
        if (end > 0 && passwordText.at(end - 1) == '\r')
            --end;
        password = QByteArray::fromRawData(passwordText.constData(), end);
    }
    const bool read = release::readSecretKey(keyText, password, &m_keyId, &m_secretKey);
    password.clear();
    wipe(&passwordText);
    wipe(&keyText);
    if (!read) {
        fail(QStringLiteral("%1 is not a minisign secret key, or the password is wrong").arg(keyFile));
        return false;
    }
    // Kept out of the swap file while it is held (where the system lets a user lock memory).
    sodium_mlock(m_secretKey.data(), size_t(m_secretKey.size()));
    // libsodium's secret key ends with its public key.
    const QByteArray publicKey =
        (QByteArray("Ed") + m_keyId + m_secretKey.right(crypto_sign_PUBLICKEYBYTES)).toBase64();
    m_verifyingKeys = publicKey;
    if (!expectedKeys.isEmpty()) {
        // Checked as the clients check it: a release signed by a key that they do not have yet
        // would be refused by every one of them.
        bool listed = false;
        for (const QByteArray &text : expectedKeys.toLatin1().split(';')) {
            release::PublicKey key;
            if (release::parsePublicKey(text.trimmed(), &key) && key.keyId == m_keyId
                && key.key == m_secretKey.right(crypto_sign_PUBLICKEYBYTES))
                listed = true;
        }
        if (!listed) {
            sodium_munlock(m_secretKey.data(), size_t(m_secretKey.size()));
            m_secretKey.clear();
            fail(QStringLiteral("the key %1 (id %2) is not one of --expect-public-key: clients built with "
                                "those keys would refuse this release")
                     .arg(keyFile, QString::fromLatin1(release::keyIdText(m_keyId))));
            return false;
        }
        m_verifyingKeys = expectedKeys.toLatin1();
    }
    m_sequence = sequence;
    m_expires = expires;
    return true;
}

QByteArray ReleaseSigner::sign(const QByteArray &data, const QString &path, const QString &version) const
{
    release::TrustedComment comment;
    comment.product = release::Product;
    comment.path = path.toUtf8();
    comment.version = version.toUtf8();
    comment.sequence = m_sequence;
    comment.expires = m_expires;
    return release::signFile(data, m_keyId, m_secretKey, release::formatTrustedComment(comment));
}

bool ReleaseSigner::verify(const QByteArray &data, const QByteArray &signature, const QString &path,
                           const QString &version) const
{
    const release::Verifier verifier(m_verifyingKeys, 0);
    release::TrustedComment comment;
    // An expiry is judged by the clients; here only the signature and what it names count.
    return verifier.verify(data, signature, path.toUtf8(), version.toUtf8(), 0, &comment)
        && comment.sequence == m_sequence;
}

qint64 signedSequence(const QString &signaturePath)
{
    bool ok = false;
    const QByteArray text = readAll(signaturePath, &ok);
    release::SignatureFile file;
    release::TrustedComment comment;
    if (!ok || !release::parseSignatureFile(text, &file)
        || !release::parseTrustedComment(file.trustedComment, &comment))
        return -1;
    return comment.sequence;
}
