#include "engine/release_signature.h"

#include "support/temp_home.h"
#include "support/tools.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace release;

namespace {

const QByteArray TestKey = KORVEL_TEST_RELEASE_KEY;
const QByteArray CataloguePath = "/bin/versions.xml";

struct Signer {
    QByteArray keyId;
    QByteArray secretKey;
};

Signer testSigner()
{
    Signer signer;
    EXPECT_TRUE(readSecretKey(readFile(QStringLiteral(KORVEL_TEST_SECRET_KEY)), {}, &signer.keyId,
                              &signer.secretKey));
    return signer;
}

QByteArray comment(const QByteArray &path, qint64 sequence, const QByteArray &version = {},
                   qint64 expires = 0, const QByteArray &product = Product)
{
    TrustedComment c;
    c.product = product;
    c.path = path;
    c.version = version;
    c.sequence = sequence;
    c.expires = expires;
    return formatTrustedComment(c);
}

// A second key pair, made by minisign itself, in dir: the base64 public key.
QByteArray makeMinisignKey(const QString &dir, const QByteArray &password = {})
{
    QDir().mkpath(dir);
    QStringList arguments{"-G", "-p", dir + "/k.pub", "-s", dir + "/k.key"};
    QByteArray input;
    if (password.isEmpty())
        arguments.append(QStringLiteral("-W"));
    else
        input = password + '\n' + password + '\n';
    QByteArray output;
    EXPECT_EQ(runTool(QStringLiteral("minisign"), arguments, {}, input, &output), 0) << output.constData();
    return readFile(dir + "/k.pub").split('\n').value(1);
}

} // namespace

TEST(ReleaseSignature, AcceptsOnlyTheSignedBytesForTheirPathProductVersionAndTime)
{
    const Signer signer = testSigner();
    const QByteArray data = "<Versions><Version version=\"2.0\"/></Versions>\n";
    const Verifier verifier(TestKey, 0);
    ASSERT_TRUE(verifier.isEnabled());
    TrustedComment said;

    const QByteArray good =
        signFile(data, signer.keyId, signer.secretKey, comment(CataloguePath, 7, {}, 2000));
    QByteArray signedBy;
    ASSERT_TRUE(verifier.verify(data, good, CataloguePath, {}, 1999, &said, &signedBy));
    EXPECT_EQ(said.sequence, 7);
    EXPECT_EQ(said.expires, 2000);
    EXPECT_EQ(signedBy, signer.keyId);

    struct Case {
        const char *what;
        QByteArray data;
        QByteArray signature;
        QByteArray path;
        QByteArray version;
        qint64 now;
    };
    QByteArray flipped = good;
    flipped[flipped.indexOf("\ntrusted comment: ") + 41] = 'X';
    const Case refused[] = {
        {"changed data", data + " ", good, CataloguePath, {}, 0},
        {"past its expiry", data, good, CataloguePath, {}, 2000},
        {"another path", data, good, "/bin/manifest/2.0.xml", {}, 0},
        {"a version where none was signed", data, good, CataloguePath, "2.0", 0},
        {"a changed trusted comment", data, flipped, CataloguePath, {}, 0},
        {"another product",
         data,
         signFile(data, signer.keyId, signer.secretKey, comment(CataloguePath, 7, {}, 0, "other")),
         CataloguePath,
         {},
         0},
        {"a manifest of another version", data,
         signFile(data, signer.keyId, signer.secretKey, comment("/bin/manifest/1.0.xml", 7, "1.0")),
         "/bin/manifest/1.0.xml", "2.0", 0},
        {"an empty signature", data, {}, CataloguePath, {}, 0},
        {"a truncated signature", data, good.left(good.size() - 20), CataloguePath, {}, 0},
        {"an oversized signature",
         data,
         good + QByteArray(MaxSignatureFileBytes, '\n'),
         CataloguePath,
         {},
         0},
        {"a trusted comment that is no comment of ours",
         data,
         signFile(data, signer.keyId, signer.secretKey, "timestamp:1 file:versions.xml"),
         CataloguePath,
         {},
         0},
    };
    for (const Case &c : refused)
        EXPECT_FALSE(verifier.verify(c.data, c.signature, c.path, c.version, c.now, &said)) << c.what;

    // A key that is not listed, though the signature is sound.
    TempHome home;
    const QByteArray otherKey = makeMinisignKey(home.root());
    EXPECT_FALSE(Verifier(otherKey, 0).verify(data, good, CataloguePath, {}, 0, &said));
    // Both keys listed (a rotation): the test key's signature counts.
    EXPECT_TRUE(Verifier(otherKey + ";" + TestKey, 0).verify(data, good, CataloguePath, {}, 0, &said));
    // Text that holds no valid key verifies nothing, but still checks.
    const Verifier broken("not-a-key", 0);
    EXPECT_TRUE(broken.isEnabled());
    EXPECT_FALSE(broken.verify(data, good, CataloguePath, {}, 0, &said));
    EXPECT_FALSE(Verifier(" ", 0).isEnabled());
}

TEST(ReleaseSignature, InteroperatesWithMinisign)
{
    TempHome home;
    const QString file = home.root() + "/manifest.xml";
    ASSERT_TRUE(writeFile(file, "<Manifest/>\n"));
    const QByteArray trusted = comment("/bin/manifest/2.0.xml", 3, "2.0");
    TrustedComment said;
    QByteArray output;

    // minisign's signature (prehashed, its default), checked here; its legacy form refused.
    const QByteArray publicKey = makeMinisignKey(home.root());
    for (const bool legacy : {false, true}) {
        const QStringList legacySwitch = legacy ? QStringList{"-l"} : QStringList{};
        ASSERT_EQ(runTool(QStringLiteral("minisign"),
                          QStringList{"-S"} + legacySwitch
                              + QStringList{"-s", home.root() + "/k.key", "-t", QString::fromUtf8(trusted),
                                            "-m", file},
                          {}, {}, &output),
                  0)
            << output.constData();
        EXPECT_EQ(Verifier(publicKey, 0)
                      .verify(readFile(file), readFile(file + ".minisig"), "/bin/manifest/2.0.xml", "2.0", 0,
                              &said),
                  !legacy);
    }

    // Its secret key, read here: the same key id, and a signature minisign checks.
    QByteArray keyId, secretKey;
    ASSERT_TRUE(readSecretKey(readFile(home.root() + "/k.key"), {}, &keyId, &secretKey));
    PublicKey parsed;
    ASSERT_TRUE(parsePublicKey(publicKey, &parsed));
    EXPECT_EQ(keyId, parsed.keyId);
    // The id as minisign names the key to its owner (the key's floor is kept under it).
    EXPECT_EQ("untrusted comment: minisign public key " + keyIdText(keyId),
              readFile(home.root() + "/k.pub").split('\n').value(0));
    // One key in sixteen has an id whose first digit is zero: minisign leaves it out.
    EXPECT_EQ(keyIdText(QByteArray::fromHex("5a9a2dd42b66b00a")), "AB0662BD42D9A5A");
    EXPECT_EQ(keyIdText(QByteArray(8, '\0')), "0");
    ASSERT_TRUE(writeFile(file + ".minisig", signFile(readFile(file), keyId, secretKey, trusted)));
    ASSERT_EQ(runTool(QStringLiteral("minisign"), {"-V", "-P", QString::fromLatin1(publicKey), "-m", file},
                      {}, {}, &output),
              0)
        << output.constData();
    EXPECT_TRUE(output.contains(trusted));

    // A damaged key file is no key.
    QList<QByteArray> lines = readFile(home.root() + "/k.key").split('\n');
    QByteArray bytes = QByteArray::fromBase64(lines[1]);
    bytes[110] = char(bytes[110] ^ 1); // in the public half of the secret key
    lines[1] = bytes.toBase64();
    EXPECT_FALSE(readSecretKey(lines.join('\n'), {}, &keyId, &secretKey));

    // A key encrypted with a password (minisign's scrypt; slow by design, so once).
    const QByteArray encryptedKey = makeMinisignKey(home.root() + "/encrypted", "secret words");
    ASSERT_TRUE(
        readSecretKey(readFile(home.root() + "/encrypted/k.key"), "secret words", &keyId, &secretKey));
    ASSERT_TRUE(parsePublicKey(encryptedKey, &parsed));
    EXPECT_EQ(keyId, parsed.keyId);
    EXPECT_EQ(secretKey.right(32), parsed.key);
}

TEST(ReleaseSignature, TrustedCommentNamesEachFieldOnceInItsPlainForm)
{
    TrustedComment said;
    ASSERT_TRUE(parseTrustedComment(comment("/bin/manifest/2.0%20b.xml", 12, "2.0%20b", 1800000000), &said));
    EXPECT_EQ(said.path, "/bin/manifest/2.0%20b.xml");
    EXPECT_EQ(said.version, "2.0%20b");
    EXPECT_EQ(said.sequence, 12);
    EXPECT_EQ(said.expires, 1800000000);
    ASSERT_TRUE(parseTrustedComment("korvel-release-1 product=korvel path=/p sequence=0", &said));
    EXPECT_EQ(said.expires, 0);

    for (const char *bad : {
             "",
             "korvel-release-2 product=korvel path=/p sequence=1",
             "korvel-release-1 product=korvel path=/p", // no sequence
             "korvel-release-1 path=/p sequence=1",     // no product
             "korvel-release-1 product=korvel path=/p sequence=1 sequence=2",
             "korvel-release-1 product=korvel path=/p path=/q sequence=1",
             "korvel-release-1 product=korvel path=/p sequence=01",
             "korvel-release-1 product=korvel path=/p sequence=-1",
             "korvel-release-1 product=korvel path=/p sequence=1 expires=0",
             "korvel-release-1 product=korvel path=/p sequence=99999999999999999999",
             "korvel-release-1 product=korvel path=/p sequence=1 colour=red",
             "korvel-release-1 product=korvel path= sequence=1",
             "korvel-release-1 product=korvel path=/p=q sequence=1",
             "korvel-release-1 product=korvel  path=/p sequence=1",
             "korvel-release-1 product=korvel path=/p sequence=1 ",
         })
        EXPECT_FALSE(parseTrustedComment(bad, &said)) << bad;
}
