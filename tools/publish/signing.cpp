#include "signing.h"

#include "engine/release_signature.h"

#include <QFile>

#include <cstdio>

namespace {

void fail(const QString &message)
{
    fprintf(stderr, "korvel-publish: %s\n", qPrintable(message));
}

QByteArray readAll(const QString &path, bool *ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.readAll() : QByteArray();
}

} // namespace

bool ReleaseSigner::load(const QString &keyFile, const QString &passwordFile, qint64 sequence, qint64 expires)
{
    bool ok = false;
    const QByteArray keyText = readAll(keyFile, &ok);
    if (!ok) {
        fail(QStringLiteral("cannot read the secret key %1").arg(keyFile));
        return false;
    }
    QByteArray password;
    if (!passwordFile.isEmpty()) {
        password = readAll(passwordFile, &ok);
        if (!ok) {
            fail(QStringLiteral("cannot read the password file %1").arg(passwordFile));
            return false;
        }
        const int end = password.indexOf('\n');
        if (end >= 0)
            password.truncate(end);
        if (password.endsWith('\r'))
            password.chop(1);
    }
    if (!release::readSecretKey(keyText, password, &m_keyId, &m_secretKey)) {
        fail(QStringLiteral("%1 is not a minisign secret key, or the password is wrong").arg(keyFile));
        return false;
    }
    // libsodium's secret key ends with its public key.
    m_publicKey = (QByteArray("Ed") + m_keyId + m_secretKey.right(32)).toBase64();
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
    const release::Verifier verifier(m_publicKey, 0);
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
