#include "engine/signed_release.h"

#include "engine/bounded_buffer.h"
#include "engine/http_transfer.h"
#include "engine/server_layout.h"
#include "engine/servers.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QUrl>

namespace release {

bool isSigning()
{
    return Verifier::compiledIn().isEnabled();
}

bool startsClientsBesideProgram()
{
    return !isSigning() || compiledInClientsBesideProgram();
}

bool fetchSignature(const QString &path, QByteArray *signature, const TransferLimits &limits,
                    TransferConnection &connection)
{
    signature->clear();
    // One byte more than allowed still fits, so a file that is too large is seen as one.
    BoundedBuffer buffer(signature, MaxSignatureFileBytes + 1);
    buffer.open(QIODevice::WriteOnly);
    HttpTransfer transfer(QUrl(servers::catalogue() + server_layout::signaturePath(path)), &buffer,
                          limits.forSmallFile(), &connection);
    return transfer.perform() == 200 && signature->size() <= MaxSignatureFileBytes;
}

bool verifySigned(const QByteArray &data, const QByteArray &signature, const QString &path,
                  const QString &version, qint64 *sequence, QByteArray *keyId)
{
    TrustedComment comment;
    QByteArray signedBy;
    if (!Verifier::compiledIn().verify(data, signature, path.toUtf8(), version.toUtf8(),
                                       QDateTime::currentSecsSinceEpoch(), &comment, &signedBy))
        return false;
    *sequence = comment.sequence;
    if (keyId)
        *keyId = keyIdText(signedBy);
    return true;
}

bool parseSignedContent(const QString &sha256Hex, const QString &sizeText, QByteArray *sha256, qint64 *size)
{
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    static const QRegularExpression decimal(QStringLiteral("^(0|[1-9][0-9]{0,17})$"));
    if (!hexDigits.match(sha256Hex).hasMatch() || !decimal.match(sizeText).hasMatch())
        return false;
    *sha256 = QByteArray::fromHex(sha256Hex.toLatin1());
    *size = sizeText.toLongLong();
    return true;
}

QByteArray signingKeyId(const QByteArray &signature)
{
    SignatureFile file;
    return parseSignatureFile(signature, &file) ? keyIdText(file.keyId) : QByteArray();
}

} // namespace release
