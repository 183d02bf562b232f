#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Signed releases. The vendor signs the catalogue and every manifest with minisign's prehashed
// Ed25519 and publishes the detached signature beside each file (server_layout::signaturePath). The
// signed trusted comment says what the signature is for, so a valid signature of one file
// cannot be passed off as another's:
//   korvel-release-1 product=korvel path=/bin/versions.xml sequence=7 [expires=UNIXTIME]
//   korvel-release-1 product=korvel path=/bin/manifest/2.0.xml sequence=7 version=2.0 [expires=...]
// Values are URL path text (percent-encoded, never a blank). The accepted public keys are fixed
// when the program is built; a build without keys checks nothing and behaves as before.

namespace release {

constexpr char CommentFormat[] = "korvel-release-1";
constexpr char Product[] = "korvel";
// A signature file is four short lines; anything much larger is not one.
constexpr int MaxSignatureFileBytes = 2048;
constexpr int MaxTrustedCommentBytes = 1024;

// One minisign signature file, taken apart; nothing verified yet.
struct SignatureFile {
    QByteArray keyId;           // 8 bytes
    QByteArray signature;       // 64 bytes, over the BLAKE2b-512 of the file
    QByteArray trustedComment;  // the text after "trusted comment: "
    QByteArray globalSignature; // 64 bytes, over signature + trustedComment
};

// Parses minisign's four lines ("untrusted comment: ...", the signature in base64, "trusted
// comment: ...", the global signature in base64; LF or CR LF). Only the prehashed algorithm
// ("ED") is accepted. False for anything else, truncated or longer than MaxSignatureFileBytes.
bool parseSignatureFile(const QByteArray &text, SignatureFile *out);

// What a trusted comment says.
struct TrustedComment {
    QByteArray product;
    QByteArray path;
    QByteArray version;   // manifests only; empty for the catalogue
    qint64 sequence = -1; // 0 and up
    qint64 expires = 0;   // seconds since 1970; 0: never
};

// Parses the format word and the space-separated name=value fields; every field once at most,
// product, path and sequence required, numbers plain decimal. False for anything else.
bool parseTrustedComment(const QByteArray &text, TrustedComment *out);
// The comment the publisher signs; parseTrustedComment gives back the same fields.
QByteArray formatTrustedComment(const TrustedComment &comment);

// A minisign public key: "Ed" + key id + Ed25519 key, as base64 (the second line of a
// minisign .pub file).
struct PublicKey {
    QByteArray keyId; // 8 bytes
    QByteArray key;   // 32 bytes
};
bool parsePublicKey(const QByteArray &base64, PublicKey *out);

// The keys a release must be signed with, and what else a signature must show.
class Verifier {
public:
    // keyList: minisign public keys separated by ';' (blanks around them ignored). A list
    // that holds text but no valid key gives a verifier that accepts nothing.
    Verifier(const QByteArray &keyList, qint64 minimumSequence);

    // The build's own keys and the lowest catalogue sequence it accepts (fixed when the
    // program is built), so that a fresh program cannot be fed a catalogue older than itself.
    static const Verifier &compiledIn();

    // Without keys nothing is signed, and nothing is checked.
    bool isEnabled() const { return m_enabled; }
    qint64 minimumSequence() const { return m_minimumSequence; }

    // True when signatureText is a signature of data by one of the keys whose trusted comment
    // names this product and path, is not past its expiry at now (seconds since 1970), and
    // names version (empty for the catalogue). comment receives what the signature says when
    // it is true, and keyId (when given) the id of the key that made it; the caller judges its
    // sequence (the catalogue's against minimumSequence() and what that key signed before).
    bool verify(const QByteArray &data, const QByteArray &signatureText, const QByteArray &path,
                const QByteArray &version, qint64 now, TrustedComment *comment,
                QByteArray *keyId = nullptr) const;

private:
    QList<PublicKey> m_keys;
    qint64 m_minimumSequence;
    bool m_enabled;
};

// Signs data as `minisign -S -t comment` would, with a 64-byte Ed25519 secret key and its
// key id; the publisher's side. Returns the signature file's text (empty on failure).
QByteArray signFile(const QByteArray &data, const QByteArray &keyId, const QByteArray &secretKey,
                    const QByteArray &trustedComment);

// minisign's secret key file: unencrypted (minisign -G -W) or encrypted with a password
// (scrypt, as minisign -G makes it). False when the file is not one, the password is wrong
// or its checksum does not match. secretKey receives a buffer of its own (no other QByteArray
// shares it), so that its owner can lock and wipe it; the copies made on the way are wiped.
bool readSecretKey(const QByteArray &fileText, const QByteArray &password, QByteArray *keyId,
                   QByteArray *secretKey);

// A key id as minisign shows it ("minisign public key EAB0662BD42D9A5A"): the 8 bytes read as
// a little-endian number, in upper-case hex without leading zeros.
QByteArray keyIdText(const QByteArray &keyId);

// Fixed when the executable is built (cmake/ReleaseKeys.cmake generates these into each
// executable with that executable's own keys; the library defines none): the ';'-separated
// public keys, the lowest sequence accepted, and whether a build with keys still starts a
// client installed beside the program.
const char *compiledInKeys();
qint64 compiledInMinimumSequence();
bool compiledInClientsBesideProgram();

} // namespace release
