#include "engine/release_signature.h"

#include <QList>

#include <cstring>

#include <sodium.h>

namespace release {

namespace {

const char UntrustedPrefix[] = "untrusted comment: ";
const char TrustedPrefix[] = "trusted comment: ";
const char PrehashedAlgorithm[] = "ED";
const char KeyAlgorithm[] = "Ed";
constexpr int KeyIdBytes = 8;
constexpr int AlgorithmBytes = 2;
constexpr int PublicKeyTextBytes = AlgorithmBytes + KeyIdBytes + crypto_sign_PUBLICKEYBYTES;
constexpr int SignatureBytes = AlgorithmBytes + KeyIdBytes + crypto_sign_BYTES;

// libsodium picks its fastest code on first use; safe to call from any thread, any number of
// times. False only when the library cannot work at all.
bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool decodeBase64(const QByteArray &text, int expectedBytes, QByteArray *out)
{
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != expectedBytes)
        return false;
    *out = decoded.decoded;
    return true;
}

QByteArray blake2b512(const QByteArray &data)
{
    QByteArray hash(crypto_generichash_BYTES_MAX, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char *>(hash.data()), size_t(hash.size()),
                       reinterpret_cast<const unsigned char *>(data.constData()), size_t(data.size()),
                       nullptr, 0);
    return hash;
}

bool verifyDetached(const QByteArray &signature, const QByteArray &message, const QByteArray &key)
{
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                       reinterpret_cast<const unsigned char *>(message.constData()),
                                       size_t(message.size()),
                                       reinterpret_cast<const unsigned char *>(key.constData()))
        == 0;
}

QByteArray signDetached(const QByteArray &message, const QByteArray &secretKey)
{
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char *>(message.constData()), size_t(message.size()),
                         reinterpret_cast<const unsigned char *>(secretKey.constData()));
    return signature;
}

// Overwrites bytes with zeros (where the compiler cannot leave it out) and empties it. Only a
// buffer that no other QByteArray shares is wiped: detaching would wipe a copy.
void wipe(QByteArray *bytes)
{
    if (bytes->isDetached())
        sodium_memzero(bytes->data(), size_t(bytes->size()));
    bytes->clear();
}

// A plain decimal number without sign or leading zeros, small enough for any date or counter.
bool parseNumber(const QByteArray &text, qint64 *out)
{
    if (text.isEmpty() || text.size() > 18 || (text.size() > 1 && text.startsWith('0')))
        return false;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    *out = value;
    return true;
}

// Field values are URL path text: printable ASCII, no blank, nothing the format itself uses.
bool isPlainValue(const QByteArray &value)
{
    if (value.isEmpty())
        return false;
    for (const char c : value) {
        if (c <= ' ' || c > '~' || c == '=')
            return false;
    }
    return true;
}

} // namespace

bool parseSignatureFile(const QByteArray &text, SignatureFile *out)
{
    if (text.size() > MaxSignatureFileBytes || !text.endsWith('\n'))
        return false;
    QList<QByteArray> lines = text.split('\n');
    lines.removeLast(); // after the final LF
    if (lines.size() != 4)
        return false;
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    if (!lines[0].startsWith(UntrustedPrefix) || !lines[2].startsWith(TrustedPrefix))
        return false;
    QByteArray signature;
    if (!decodeBase64(lines[1], SignatureBytes, &signature) || !signature.startsWith(PrehashedAlgorithm))
        return false;
    SignatureFile file;
    file.keyId = signature.mid(AlgorithmBytes, KeyIdBytes);
    file.signature = signature.mid(AlgorithmBytes + KeyIdBytes);
    file.trustedComment = lines[2].mid(int(sizeof TrustedPrefix - 1));
    if (file.trustedComment.size() > MaxTrustedCommentBytes
        || !decodeBase64(lines[3], crypto_sign_BYTES, &file.globalSignature))
        return false;
    *out = file;
    return true;
}

bool parseTrustedComment(const QByteArray &text, TrustedComment *out)
{
    if (text.size() > MaxTrustedCommentBytes)
        return false;
    const QList<QByteArray> words = text.split(' ');
    if (words.first() != CommentFormat)
        return false;
    TrustedComment comment;
    bool seenExpires = false;
    for (int i = 1; i < words.size(); ++i) {
        const int equals = words[i].indexOf('=');
        if (equals <= 0)
            return false;
        const QByteArray name = words[i].left(equals);
        const QByteArray value = words[i].mid(equals + 1);
        if (!isPlainValue(value))
            return false;
        QByteArray *text = nullptr;
        if (name == "product")
            text = &comment.product;
        else if (name == "path")
            text = &comment.path;
        else if (name == "version")
            text = &comment.version;
        if (text) {
            if (!text->isEmpty())
                return false;
            *text = value;
        } else if (name == "sequence") {
            if (comment.sequence >= 0 || !parseNumber(value, &comment.sequence))
                return false;
        } else if (name == "expires") {
            if (seenExpires || !parseNumber(value, &comment.expires) || comment.expires == 0)
                return false;
            seenExpires = true;
        } else {
            return false;
        }
    }
    if (comment.product.isEmpty() || comment.path.isEmpty() || comment.sequence < 0)
        return false;
    *out = comment;
    return true;
}

QByteArray formatTrustedComment(const TrustedComment &comment)
{
    QByteArray text = QByteArray(CommentFormat) + " product=" + comment.product + " path=" + comment.path
        + " sequence=" + QByteArray::number(comment.sequence);
    if (!comment.version.isEmpty())
        text += " version=" + comment.version;
    if (comment.expires > 0)
        text += " expires=" + QByteArray::number(comment.expires);
    return text;
}

bool parsePublicKey(const QByteArray &base64, PublicKey *out)
{
    QByteArray decoded;
    if (!decodeBase64(base64, PublicKeyTextBytes, &decoded) || !decoded.startsWith(KeyAlgorithm))
        return false;
    out->keyId = decoded.mid(AlgorithmBytes, KeyIdBytes);
    out->key = decoded.mid(AlgorithmBytes + KeyIdBytes);
    return true;
}

Verifier::Verifier(const QByteArray &keyList, qint64 minimumSequence)
    : m_minimumSequence(minimumSequence), m_enabled(!keyList.trimmed().isEmpty())
{
    for (const QByteArray &text : keyList.split(';')) {
        PublicKey key;
        if (parsePublicKey(text.trimmed(), &key))
            m_keys.append(key);
    }
}

const Verifier &Verifier::compiledIn()
{
    static const Verifier verifier(QByteArray(compiledInKeys()), compiledInMinimumSequence());
    return verifier;
}

bool Verifier::verify(const QByteArray &data, const QByteArray &signatureText, const QByteArray &path,
                      const QByteArray &version, qint64 now, TrustedComment *comment, QByteArray *keyId) const
{
    SignatureFile file;
    if (!sodiumReady() || !parseSignatureFile(signatureText, &file))
        return false;
    const PublicKey *key = nullptr;
    for (const PublicKey &candidate : m_keys) {
        if (candidate.keyId == file.keyId)
            key = &candidate;
    }
    // The cheap signature over the comment first: it fails for every forged file at once,
    // before the whole file is hashed.
    if (!key || !verifyDetached(file.globalSignature, file.signature + file.trustedComment, key->key)
        || !verifyDetached(file.signature, blake2b512(data), key->key))
        return false;
    TrustedComment said;
    if (!parseTrustedComment(file.trustedComment, &said) || said.product != Product || said.path != path
        || said.version != version || (said.expires > 0 && now >= said.expires))
        return false;
    *comment = said;
    if (keyId)
        *keyId = key->keyId;
    return true;
}

QByteArray signFile(const QByteArray &data, const QByteArray &keyId, const QByteArray &secretKey,
                    const QByteArray &trustedComment)
{
    if (!sodiumReady() || keyId.size() != KeyIdBytes || secretKey.size() != crypto_sign_SECRETKEYBYTES
        || trustedComment.contains('\n') || trustedComment.contains('\r'))
        return QByteArray();
    const QByteArray signature = signDetached(blake2b512(data), secretKey);
    const QByteArray global = signDetached(signature + trustedComment, secretKey);
    return QByteArray(UntrustedPrefix) + "signature from korvel-publish\n"
        + (PrehashedAlgorithm + keyId + signature).toBase64() + '\n' + TrustedPrefix + trustedComment + '\n'
        + global.toBase64() + '\n';
}

bool readSecretKey(const QByteArray &fileText, const QByteArray &password, QByteArray *keyId,
                   QByteArray *secretKey)
{
    // "Ed", the key derivation ("Sc" for scrypt, two zero bytes for none), the checksum
    // ("B2": BLAKE2b-256), the scrypt salt and limits, then key id, secret key and checksum,
    // those three encrypted by an scrypt-derived stream when a password protects them.
    constexpr int SaltBytes = crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
    constexpr int ChecksumBytes = crypto_generichash_BYTES;
    constexpr int SecretBytes = KeyIdBytes + crypto_sign_SECRETKEYBYTES + ChecksumBytes;
    constexpr int HeaderBytes = 3 * AlgorithmBytes + SaltBytes + 8 + 8;
    // Every buffer below holds the key or what leads to it (an unencrypted key file is the key
    // in base64): all are wiped when this returns, whatever it returns.
    QList<QByteArray> lines = fileText.split('\n');
    QByteArray decoded;
    QByteArray secret;
    QByteArray stored;
    QByteArray derived(crypto_sign_SECRETKEYBYTES, Qt::Uninitialized);
    QByteArray checked;
    const auto wipeAll = [&] {
        for (QByteArray &line : lines)
            wipe(&line);
        for (QByteArray *bytes : {&decoded, &secret, &stored, &derived, &checked})
            wipe(bytes);
    };
    if (!sodiumReady() || lines.size() < 2 || !lines[0].startsWith(UntrustedPrefix)
        || !decodeBase64(lines[1].trimmed(), HeaderBytes + SecretBytes, &decoded)
        || !decoded.startsWith(KeyAlgorithm) || decoded.mid(4, 2) != "B2") {
        wipeAll();
        return false;
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(decoded.constData());
    secret = decoded.mid(HeaderBytes);
    const QByteArray derivation = decoded.mid(2, 2);
    if (derivation == "Sc") {
        auto little = [bytes](int at) {
            quint64 value = 0;
            for (int i = 7; i >= 0; --i)
                value = value << 8 | bytes[at + i];
            return value;
        };
        const quint64 opsLimit = little(3 * AlgorithmBytes + SaltBytes);
        const quint64 memLimit = little(3 * AlgorithmBytes + SaltBytes + 8);
        QByteArray stream(SecretBytes, Qt::Uninitialized);
        const bool derivedStream =
            crypto_pwhash_scryptsalsa208sha256(
                reinterpret_cast<unsigned char *>(stream.data()), size_t(stream.size()), password.constData(),
                size_t(password.size()), bytes + 3 * AlgorithmBytes, opsLimit, size_t(memLimit))
            == 0;
        if (derivedStream) {
            for (int i = 0; i < SecretBytes; ++i)
                secret[i] = char(secret[i] ^ stream[i]);
        }
        wipe(&stream);
        if (!derivedStream) {
            wipeAll();
            return false;
        }
    } else if (derivation != QByteArray(2, '\0')) {
        wipeAll();
        return false;
    }
    // An encrypted key carries a checksum that tells a wrong password; minisign leaves it zero
    // in a key without one. Either way the secret key must be the one its seed makes.
    const QByteArray storedChecksum = secret.right(ChecksumBytes);
    if (derivation == "Sc" || storedChecksum != QByteArray(ChecksumBytes, '\0')) {
        QByteArray checksum(ChecksumBytes, Qt::Uninitialized);
        // Appended into room reserved first: a buffer that grew would leave the key behind.
        checked.reserve(AlgorithmBytes + KeyIdBytes + crypto_sign_SECRETKEYBYTES);
        checked.append(KeyAlgorithm);
        checked.append(secret.constData(), KeyIdBytes + crypto_sign_SECRETKEYBYTES);
        crypto_generichash(reinterpret_cast<unsigned char *>(checksum.data()), ChecksumBytes,
                           reinterpret_cast<const unsigned char *>(checked.constData()),
                           size_t(checked.size()), nullptr, 0);
        if (checksum != storedChecksum) {
            wipeAll();
            return false;
        }
    }
    stored = secret.mid(KeyIdBytes, crypto_sign_SECRETKEYBYTES);
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_seed_keypair(publicKey, reinterpret_cast<unsigned char *>(derived.data()),
                             reinterpret_cast<const unsigned char *>(stored.constData()));
    if (derived != stored) {
        wipeAll();
        return false;
    }
    *keyId = secret.left(KeyIdBytes);
    // A buffer of its own: copied byte for byte, never shared with one wiped here.
    secretKey->clear();
    secretKey->resize(crypto_sign_SECRETKEYBYTES);
    memcpy(secretKey->data(), stored.constData(), size_t(crypto_sign_SECRETKEYBYTES));
    wipeAll();
    return true;
}

QByteArray keyIdText(const QByteArray &keyId)
{
    QByteArray reversed;
    for (int i = keyId.size() - 1; i >= 0; --i)
        reversed.append(keyId.at(i));
    // minisign prints the number without leading zeros (printf's %X): a key whose id begins
    // with a zero digit must be named as its owner sees it, or its floor would be kept under
    // another name than the one the README tells the vendor.
    QByteArray text = reversed.toHex().toUpper();
    while (text.size() > 1 && text.startsWith('0'))
        text.remove(0, 1);
    return text;
}

} // namespace release
