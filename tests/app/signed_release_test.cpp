// The road of a build with release keys, end to end: one file over 500 lines because its
// cases share one signed tree, its keys and the checks of what a refused release leaves behind.
#include "job_road.h"

#include "engine/release_signature.h"
#include "support/installed_layout.h"
#include "support/nginx_server.h"
#include "support/target.h"
#include "support/tools.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include <sodium.h>

// The road with the program built with the test release key (tests/support/release_key) and a
// lowest catalogue sequence of 2, against a tree the publisher signed with that key and a
// server that lies in every way a signature must catch.
class SignedRoad : public JobRoad {
protected:
    void SetUp() override
    {
        target::useSignedProgram(true);
        JobRoad::SetUp();
    }
    void TearDown() override
    {
        JobRoad::TearDown();
        target::useSignedProgram(false);
    }

    // Publishes version signed with the test key and the next sequence.
    void publishSigned(const QString &version, const QStringList &extra = {})
    {
        publishArguments = QStringList{"--sign-key", KORVEL_TEST_SECRET_KEY, "--sequence",
                                       QString::number(++sequence), "--no-expiry"}
            + extra;
        publish(version);
    }

    struct Signing {
        QByteArray path = "/bin/versions.xml";
        QByteArray version;
        qint64 sequence = 0; // 0: the last published
        qint64 expires = 0;
        QByteArray product = release::Product;
        bool otherKey = false;  // a sound key that the program does not list
        bool secondKey = false; // the program's second key, the one a vendor rotates to
    };
    // A signature of data as a real key signs it: what a thief of a key, or a replay, serves.
    QByteArray sign(const QByteArray &data, const Signing &how) const
    {
        QByteArray keyId, secretKey;
        const QString keyFile = how.secondKey ? KORVEL_SECOND_SECRET_KEY : KORVEL_TEST_SECRET_KEY;
        EXPECT_TRUE(release::readSecretKey(readFile(keyFile), {}, &keyId, &secretKey));
        if (how.otherKey) {
            unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
            secretKey.resize(crypto_sign_SECRETKEYBYTES);
            crypto_sign_keypair(publicKey, reinterpret_cast<unsigned char *>(secretKey.data()));
            keyId = "otherkey";
        }
        release::TrustedComment comment;
        comment.product = how.product;
        comment.path = how.path;
        comment.version = how.version;
        comment.sequence = how.sequence ? how.sequence : sequence;
        comment.expires = how.expires;
        return release::signFile(data, keyId, secretKey, release::formatTrustedComment(comment));
    }

    QByteArray treeFile(const QString &path) const { return readFile(tree() + path); }

    // The downloaded program's install fails with text and leaves nothing it could start.
    void expectInstallRefused(const QByteArray &text)
    {
        const bool registered = uninstallEntryExists();
        EXPECT_EQ(run(downloaded), exitStatusOf(-1));
        EXPECT_TRUE(errLines().contains(text)) << err.constData();
        const QString data = home.dataDirectory();
        EXPECT_FALSE(QFileInfo::exists(data + "/Korvel.exe"));
        if (text == QStringLiteral("检查版本失败").toUtf8()) {
            EXPECT_TRUE(readFile(data + "/versions.xml").isEmpty()) << "a refused catalogue was cached";
        }
        const QStringList versions = QDir(data).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &version : versions)
            EXPECT_FALSE(QFileInfo::exists(data + "/" + version + "/manifest.xml")) << version.toStdString();
        EXPECT_EQ(uninstallEntryExists(), registered);
        EXPECT_FALSE(QFileInfo::exists(clientLog()));
    }

    // The whole installation where the helper can judge it (it reads the Linux desktop files).
    void expectInstalled(const QString &version)
    {
        if (!target::isWindows())
            expectCompleteInstallation(version);
        EXPECT_TRUE(QFileInfo::exists(home.dataDirectory() + "/" + version + "/manifest.xml"));
    }

    // The highest sequence accepted of a key, as the program keeps it beside the machine id
    // under the key's id as minisign shows it.
    static constexpr char TestKeyId[] = "EAB0662BD42D9A5A";
    static constexpr char SecondKeyId[] = "F399E4C2BA063473";
    QString storedSequence(const char *keyId = TestKeyId) const
    {
        if (target::isWindows())
            return target::registryValue(QStringLiteral("HKCU\\Software\\ostrel\\kv\\ReleaseSequences"),
                                         QString::fromLatin1(keyId));
        QSettings settings(QStringLiteral("ostrel"), QStringLiteral("kv"));
        return settings.value(QStringLiteral("ReleaseSequences/") + keyId).toString();
    }
    // The one floor for all keys that programs before kept.
    void setLegacySequence(const QString &sequence)
    {
        if (target::isWindows()) {
            ASSERT_TRUE(target::setRegistryValue(QStringLiteral("HKCU\\Software\\ostrel\\kv"),
                                                 QStringLiteral("ReleaseSequence"), "REG_SZ", sequence));
            return;
        }
        QSettings settings(QStringLiteral("ostrel"), QStringLiteral("kv"));
        settings.setValue(QStringLiteral("ReleaseSequence"), sequence);
    }

    // The catalogue with the manifest it names for version replaced by manifest (its digest
    // and size), or named not at all when manifest is null.
    static QByteArray naming(const QByteArray &catalogue, const QByteArray &version,
                             const QByteArray &manifest)
    {
        const QRegularExpression element(
            QStringLiteral("<Version version=\"%1\"[^>]*>").arg(QString::fromLatin1(version)));
        QString text = QString::fromUtf8(catalogue);
        const QRegularExpressionMatch match = element.match(text);
        EXPECT_TRUE(match.hasMatch()) << catalogue.constData();
        QString changed = match.captured(0);
        changed.replace(QRegularExpression(QStringLiteral(" manifest(Sha256|Size)=\"[^\"]*\"")), QString());
        if (!manifest.isNull())
            changed.replace(
                QStringLiteral("\"%1\"").arg(QString::fromLatin1(version)),
                QStringLiteral("\"%1\" manifestSha256=\"%2\" manifestSize=\"%3\"")
                    .arg(QString::fromLatin1(version),
                         QString::fromLatin1(
                             QCryptographicHash::hash(manifest, QCryptographicHash::Sha256).toHex()))
                    .arg(manifest.size()));
        return text.replace(match.capturedStart(), match.capturedLength(), changed).toUtf8();
    }

    // The manifest with every Package's attribute name="..." replaced by value (or removed
    // when value is empty).
    static QByteArray withAttribute(QByteArray manifest, const QByteArray &name, const QByteArray &value)
    {
        const QRegularExpression attribute(QStringLiteral(" %1=\"[^\"]*\"").arg(QString::fromLatin1(name)));
        return QString::fromUtf8(manifest)
            .replace(
                attribute,
                value.isEmpty()
                    ? QString()
                    : QStringLiteral(" %1=\"%2\"").arg(QString::fromLatin1(name), QString::fromLatin1(value)))
            .toUtf8();
    }

    qint64 sequence = 10;
};

TEST_F(SignedRoad, SignedReleaseInstallsUpdatesAndKeepsItsSequence)
{
    publishSigned("1.0");
    EXPECT_TRUE(QFileInfo::exists(tree() + "/bin/versions.xml.minisig"));
    EXPECT_TRUE(QFileInfo::exists(tree() + "/bin/manifest/1.0.xml.minisig"));
    EXPECT_TRUE(treeFile("/bin/manifest/1.0.xml").contains(" sha256=\""));
    const QByteArray catalogue = treeFile("/bin/versions.xml");
    server.serve("/bin/versions.xml", {HttpReply::ok(catalogue, {"ETag: \"c1\""}), HttpReply::status(304)});
    installFromDownload();
    expectInstalled("1.0");
    EXPECT_EQ(storedSequence(), "11");
    EXPECT_EQ(readFile(home.dataDirectory() + "/versions.xml.minisig"),
              treeFile("/bin/versions.xml.minisig"));

    // The update's conditional check is answered 304: the cached catalogue's own signature
    // holds, and nothing is fetched again.
    server.clearRequests();
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_EQ(server.requestCount("/bin/versions.xml"), 1);
    EXPECT_EQ(server.requestCount("/bin/versions.xml.minisig"), 0);

    // A newer release comes through the same road and raises the sequence.
    publishSigned("2.0");
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_EQ(sampleField(startNormally(installedProgram()), "version"), "2.0");
    EXPECT_EQ(storedSequence(), "12");

    // The signed catalogue names each listed manifest by its digest and size.
    const QByteArray signedCatalogue = treeFile("/bin/versions.xml");
    for (const char *version : {"1.0", "2.0"}) {
        EXPECT_EQ(
            naming(signedCatalogue, version, treeFile(QStringLiteral("/bin/manifest/%1.xml").arg(version))),
            signedCatalogue);
    }

    // The publisher refuses to go back, to stop signing, or to publish a version it holds.
    QByteArray output;
    const auto base = [&](const char *version) {
        return QStringList{"--version",        version,       "--source",     stage("2.0"),
                           "--output",         tree(),        "--entry-file", "libkorvel_client.so",
                           "--entry-function", "korvel_entry"};
    };
    const QStringList signing{"--sign-key", KORVEL_TEST_SECRET_KEY, "--no-expiry", "--sequence"};
    EXPECT_NE(runTool(KORVEL_BUILD_DIR "/korvel-publish", base("3.0") + signing + QStringList{"12"}, {}, {},
                      &output),
              0);
    EXPECT_TRUE(output.contains("not above")) << output.constData();
    EXPECT_NE(runTool(KORVEL_BUILD_DIR "/korvel-publish", base("3.0"), {}, {}, &output), 0);
    EXPECT_FALSE(QFileInfo::exists(tree() + "/bin/manifest/3.0.xml"));
    const QMap<QString, QByteArray> before = filesBelow(tree());
    EXPECT_NE(runTool(KORVEL_BUILD_DIR "/korvel-publish", base("2.0") + signing + QStringList{"13"}, {}, {},
                      &output),
              0);
    EXPECT_TRUE(output.contains("2.0 is already published in this signed tree")) << output.constData();
    EXPECT_TRUE(filesBelow(tree()) == before);
}

TEST_F(SignedRoad, EveryCatalogueThatIsNotTheVendorsFailsTheCheck)
{
    publishSigned("1.0");
    const QByteArray catalogue = treeFile("/bin/versions.xml");
    const QByteArray signature = treeFile("/bin/versions.xml.minisig");
    const QByteArray failed = QStringLiteral("检查版本失败").toUtf8();
    struct Case {
        const char *what;
        QByteArray body;
        HttpReply signature;
    };
    Signing otherPath;
    otherPath.path = "/bin/manifest/1.0.xml";
    otherPath.version = "1.0";
    Signing otherProduct;
    otherProduct.product = "other";
    Signing otherKey;
    otherKey.otherKey = true;
    Signing expired;
    expired.expires = 1000;
    Signing belowMinimum;
    belowMinimum.sequence = 1;
    const QByteArray changed = QByteArray(catalogue).replace("1.0", "6.6");
    const Case cases[] = {
        {"changed after signing", changed, HttpReply::ok(signature)},
        {"without a signature", catalogue, HttpReply::status(404)},
        {"with a truncated signature", catalogue, HttpReply::ok(signature.left(signature.size() / 2))},
        {"with an oversized signature", catalogue, HttpReply::ok(signature + QByteArray(4096, ' '))},
        {"signed by another key", catalogue, HttpReply::ok(sign(catalogue, otherKey))},
        {"signed for another path", catalogue, HttpReply::ok(sign(catalogue, otherPath))},
        {"signed for another product", catalogue, HttpReply::ok(sign(catalogue, otherProduct))},
        {"past its expiry", catalogue, HttpReply::ok(sign(catalogue, expired))},
        {"older than the program", catalogue, HttpReply::ok(sign(catalogue, belowMinimum))},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(QDir(home.dataDirectory()).removeRecursively());
        serveTree();
        server.serve("/bin/versions.xml", HttpReply::ok(c.body));
        server.serve("/bin/versions.xml.minisig", c.signature);
        expectInstallRefused(failed);
        EXPECT_EQ(server.requestCount("/bin/manifest/1.0.xml"), 0);
    }

    // Once sequence 11 was accepted, a catalogue signed with 10 is a replay.
    ASSERT_TRUE(QDir(home.dataDirectory()).removeRecursively());
    serveTree();
    installFromDownload();
    EXPECT_EQ(storedSequence(), "11");
    ASSERT_TRUE(QDir(home.dataDirectory()).removeRecursively());
    QFile::remove(clientLog());
    Signing replay;
    replay.sequence = 10;
    server.serve("/bin/versions.xml.minisig", HttpReply::ok(sign(catalogue, replay)));
    expectInstallRefused(failed);

    // A cache that a program without keys left has no signature: a server that answers 304
    // to every request cannot make it count, one that sends the signed catalogue can.
    ASSERT_TRUE(QDir(home.dataDirectory()).removeRecursively());
    serveTree();
    ASSERT_TRUE(writeFile(home.dataDirectory() + "/versions.xml", "If-None-Match: \"old\"\r\n" + catalogue));
    server.serve("/bin/versions.xml", HttpReply::status(304));
    EXPECT_EQ(run(downloaded), exitStatusOf(-1));
    EXPECT_TRUE(errLines().contains(failed)) << err.constData();
    EXPECT_FALSE(QFileInfo::exists(home.dataDirectory() + "/1.0/manifest.xml"));
    server.serve("/bin/versions.xml", {HttpReply::status(304), HttpReply::ok(catalogue)});
    installFromDownload();
    expectInstalled("1.0");
}

TEST_F(SignedRoad, ManifestsAndPackagesThatAreNotTheVendorsAreRefusedAndTheInstalledClientStays)
{
    publishSigned("1.0");
    publishSigned("2.0");
    const QByteArray manifest = treeFile("/bin/manifest/2.0.xml");
    const QByteArray manifestSignature = treeFile("/bin/manifest/2.0.xml.minisig");
    Signing manifestSigning;
    manifestSigning.path = "/bin/manifest/2.0.xml";
    manifestSigning.version = "2.0";
    // The one package that changed since 1.0 (the others are listed as 1.0's).
    const QByteArray package = "/component/sample_version.txt/2.0/sample_version.txt_2.0.7z";
    const QByteArray mirrorPackage = "/sample_version.txt/2.0/sample_version.txt_2.0.7z";
    const QByteArray packageBytes = treeFile(package);
    const QByteArray interpretation = QStringLiteral("清单解释错误").toUtf8();
    const QByteArray download = QStringLiteral("sample_version.txt下载错误").toUtf8();

    // Lies a signed manifest would have to carry: it is signed anew as a stolen key would, and
    // so is a catalogue that names it.
    auto signedManifest = [&](const QByteArray &changed) {
        server.serve("/bin/manifest/2.0.xml", HttpReply::ok(changed));
        server.serve("/bin/manifest/2.0.xml.minisig", HttpReply::ok(sign(changed, manifestSigning)));
        const QByteArray catalogue = naming(treeFile("/bin/versions.xml"), "2.0", changed);
        server.serve("/bin/versions.xml", HttpReply::ok(catalogue));
        server.serve("/bin/versions.xml.minisig", HttpReply::ok(sign(catalogue, Signing())));
    };
    // That package's attribute in the manifest, changed.
    auto clientAttribute = [&](const QByteArray &name, const QByteArray &value) {
        QByteArray changed = manifest;
        const int at = changed.indexOf("name=\"sample_version.txt\"");
        const int start = changed.indexOf(" " + name + "=\"", at) + name.size() + 3;
        changed.replace(start, changed.indexOf('"', start) - start, value);
        return changed;
    };
    const QByteArray realSize = QByteArray::number(packageBytes.size());
    struct Case {
        const char *what;
        std::function<void()> lie;
        QByteArray text;
        bool bothMirrorsAsked;
    };
    const QList<Case> cases = {
        {"a changed manifest",
         [&] {
             server.serve("/bin/manifest/2.0.xml",
                          HttpReply::ok(QByteArray(manifest).replace("korvel_entry", "evil_entry")));
         },
         interpretation, false},
        {"a manifest without its signature",
         [&] { server.serve("/bin/manifest/2.0.xml.minisig", HttpReply::status(404)); }, interpretation,
         false},
        {"the manifest of 1.0 served as 2.0's",
         [&] {
             server.serve("/bin/manifest/2.0.xml", HttpReply::ok(treeFile("/bin/manifest/1.0.xml")));
             server.serve("/bin/manifest/2.0.xml.minisig",
                          HttpReply::ok(treeFile("/bin/manifest/1.0.xml.minisig")));
         },
         interpretation, false},
        {"another signed manifest of 2.0 than the catalogue names (one published before, replayed)",
         [&] {
             const QByteArray other = QByteArray(manifest).replace("korvel_entry", "other_entry");
             server.serve("/bin/manifest/2.0.xml", HttpReply::ok(other));
             server.serve("/bin/manifest/2.0.xml.minisig", HttpReply::ok(sign(other, manifestSigning)));
         },
         interpretation, false},
        {"a signed catalogue that names no manifest for 2.0",
         [&] {
             const QByteArray catalogue = naming(treeFile("/bin/versions.xml"), "2.0", QByteArray());
             server.serve("/bin/versions.xml", HttpReply::ok(catalogue));
             server.serve("/bin/versions.xml.minisig", HttpReply::ok(sign(catalogue, Signing())));
         },
         interpretation, false},
        {"a signed manifest without SHA-256 and size",
         [&] { signedManifest(withAttribute(withAttribute(manifest, "sha256", {}), "size", {})); },
         interpretation, false},
        {"a package whose SHA-256 differs",
         [&] { signedManifest(clientAttribute("sha256", QByteArray(64, 'a'))); }, download, true},
        {"a package one byte longer than signed",
         [&] { signedManifest(clientAttribute("size", QByteArray::number(packageBytes.size() - 1))); },
         download, true},
        {"a package one byte shorter than signed",
         [&] { signedManifest(clientAttribute("size", QByteArray::number(packageBytes.size() + 1))); },
         download, true},
        {"a body that goes on past the signed size",
         [&] {
             server.serve(package, HttpReply::ok(packageBytes + QByteArray(1 << 20, 'x')));
             server.serve(mirrorPackage, HttpReply::ok(packageBytes + "x"));
         },
         download, true},
    };
    ASSERT_NE(realSize, "");
    ASSERT_EQ(manifestSignature.isEmpty(), false);

    // A new install refuses each one with the text of its step.
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(QDir(home.dataDirectory()).removeRecursively());
        serveTree();
        c.lie();
        server.clearRequests();
        expectInstallRefused(c.text);
        EXPECT_EQ(server.requestCount(mirrorPackage), c.bothMirrorsAsked ? 1 : 0);
    }

    // An installed 1.0 keeps starting whatever an update is served.
    ASSERT_TRUE(QDir(home.dataDirectory()).removeRecursively());
    const QByteArray only1 = QString::fromUtf8(treeFile("/bin/versions.xml"))
                                 .remove(QRegularExpression(QStringLiteral("<Version version=\"2.0\"[^>]*>")))
                                 .toUtf8();
    server.serve("/bin/versions.xml", HttpReply::ok(only1));
    server.serve("/bin/versions.xml.minisig", HttpReply::ok(sign(only1, Signing())));
    installFromDownload();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        serveTree();
        c.lie();
        ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
        EXPECT_FALSE(QFileInfo::exists(home.dataDirectory() + "/2.0/manifest.xml"));
        EXPECT_EQ(sampleField(startNormally(installedProgram()), "version"), "1.0");
    }

    // The first mirror's lie costs nothing but the second mirror's answer.
    serveTree();
    server.serve(package, HttpReply::ok(packageBytes + QByteArray(1 << 20, 'x')));
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_EQ(sampleField(startNormally(installedProgram()), "version"), "2.0");
    EXPECT_EQ(readFile(home.dataDirectory() + "/packages/sample_version.txt/2.0.7z"), packageBytes);
}

TEST_F(SignedRoad, EachKeyKeepsTheFloorOfWhatItSignedAndNoOther)
{
    publishSigned("1.0");
    const QByteArray catalogue = treeFile("/bin/versions.xml");
    const QByteArray failed = QStringLiteral("检查版本失败").toUtf8();
    const auto serveSigned = [&](bool secondKey, qint64 sequence) {
        Signing how;
        how.secondKey = secondKey;
        how.sequence = sequence;
        server.serve("/bin/versions.xml.minisig", HttpReply::ok(sign(catalogue, how)));
    };
    const auto startAfresh = [&] {
        ASSERT_TRUE(QDir(home.dataDirectory()).removeRecursively());
        QFile::remove(clientLog());
    };

    // A program before kept one floor for all keys: it counts for the key that signed the
    // catalogue it accepted last, the one whose signature lies in the cache.
    setLegacySequence("50");
    ASSERT_TRUE(
        writeFile(home.dataDirectory() + "/versions.xml.minisig", treeFile("/bin/versions.xml.minisig")));
    expectInstallRefused(failed);
    // The second key has a floor of its own: the compiled-in minimum.
    startAfresh();
    serveSigned(true, 20);
    installFromDownload();
    EXPECT_EQ(storedSequence(SecondKeyId), "20");
    EXPECT_EQ(storedSequence(TestKeyId), "");

    // A sequence far ahead (a typo, or a thief of the key) binds that key alone: the other
    // key's releases still install.
    serveSigned(false, 900000000000000000);
    ASSERT_EQ(run(installedProgram(), {"update"}), 0) << err.constData();
    EXPECT_EQ(storedSequence(TestKeyId), "900000000000000000");
    startAfresh();
    serveSigned(false, 60);
    expectInstallRefused(failed);
    startAfresh();
    serveSigned(true, 21);
    installFromDownload();
    EXPECT_EQ(storedSequence(SecondKeyId), "21");
    // And each key's own floor still holds against its replays.
    startAfresh();
    serveSigned(true, 20);
    expectInstallRefused(failed);
}

// What a browser may drop into the downloads folder beside the installer: a launcher to swap
// in, a client installed flat, a catalogue with a version. None of it runs; the installer
// takes its own road, and the next start runs the installed client.
TEST_F(SignedRoad, FilesPlantedBesideTheDownloadNeverRun)
{
    publishSigned("1.0");
    const QString downloads = QFileInfo(downloaded).absolutePath();
    const QByteArray original = readFile(downloaded);
    const QByteArray planted = original + "\nPLANTED-LAUNCHER\n";
    ASSERT_TRUE(writeFile(downloaded + ".pending", planted));
    QFile::setPermissions(downloaded + ".pending", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(installSampleClient(downloads, "planted-flat"));
    ASSERT_TRUE(writeCatalogue(downloads, {"listed"}));
    ASSERT_TRUE(installSampleClient(downloads + "/listed", "planted-listed"));

    installFromDownload();
    const QByteArray report = startNormally(downloaded);
    EXPECT_EQ(sampleField(report, "version"), "1.0");
    EXPECT_EQ(sampleField(report, "cwd"), target::seen(home.dataDirectory() + "/1.0").toUtf8());
    for (const QByteArray &ran : clientReports())
        EXPECT_EQ(sampleField(ran, "version"), "1.0");
    EXPECT_EQ(readFile(downloaded), original);
    EXPECT_EQ(readFile(downloaded + ".pending"), planted);
    EXPECT_FALSE(QFileInfo::exists(downloaded + ".bak"));

    // Where the install put the launcher, a pending one is still swapped in.
    const QByteArray staged = readFile(installedProgram()) + "\nSTAGED-BY-AN-UPDATE\n";
    ASSERT_TRUE(writeFile(installedProgram() + ".pending", staged));
    QFile::setPermissions(installedProgram() + ".pending",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(sampleField(startNormally(installedProgram()), "version"), "1.0");
    EXPECT_EQ(readFile(installedProgram()), staged);
    EXPECT_FALSE(QFileInfo::exists(installedProgram() + ".pending"));

    // A vendor who builds the program to start clients beside it gets them back (and the risk
    // the README names with it).
    if (target::isWindows())
        return; // the Windows build makes no such program
    const QString beside = home.root() + "/beside/Korvel.exe";
    ASSERT_TRUE(writeFile(beside, readFile(KORVEL_BESIDE_EXE)));
    QFile::setPermissions(beside, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(installSampleClient(home.root() + "/beside", "beside-flat"));
    EXPECT_EQ(sampleField(startNormally(beside), "version"), "beside-flat");
    ASSERT_TRUE(QFile::remove(home.root() + "/beside/manifest.xml"));
    ASSERT_TRUE(writeCatalogue(home.root() + "/beside", {"listed"}));
    ASSERT_TRUE(installSampleClient(home.root() + "/beside/listed", "beside-listed"));
    EXPECT_EQ(sampleField(startNormally(beside), "version"), "beside-listed");
}

// Transport lies no signature covers: a server that floods the header block, and one that
// moves the catalogue from https to plain http, where anyone on the way could answer.
TEST_F(SignedRoad, HeaderFloodsAndRedirectsFromHttpsToHttpFail)
{
    publishSigned("1.0");
    const QByteArray failed = QStringLiteral("检查版本失败").toUtf8();
    QList<QByteArray> flood;
    for (int i = 0; i < 1000; ++i)
        flood << "Set-Cookie: c" + QByteArray::number(i) + "=1";
    server.serve("/bin/versions.xml", HttpReply::ok(treeFile("/bin/versions.xml"), flood));
    expectInstallRefused(failed);

    if (!NginxServer::isAvailable())
        GTEST_SKIP() << "nginx is not installed (scripts/setup installs it)";
    // Schannel under Wine does not accept the test's certificate authority.
    if (target::isWindows())
        GTEST_SKIP() << "no https under Wine";
    serveTree();
    // nginx's workers run as an unprivileged user; they never read the tree (every answer is
    // the redirect) but must get through to it.
    for (const QString &directory : {home.root(), tree()})
        QFile::setPermissions(directory,
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                  | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    NginxServer nginx(tree(), home.root() + "/nginx", NginxServer::Tls::On, server.baseUrl());
    ASSERT_TRUE(nginx.isRunning()) << nginx.startError().constData();
    home.setEnv("KORVEL_CATALOGUE_SERVER", nginx.baseUrl().toUtf8());
    home.setEnv("SSL_CERT_FILE", nginx.caFile().toUtf8());
    server.clearRequests();
    expectInstallRefused(failed);
    EXPECT_EQ(server.requestCount("/bin/versions.xml"), 0);

    // A build without keys follows the redirect, as it always did.
    const QString unsignedProgram = installProgram(home.root() + "/plain");
    ASSERT_FALSE(unsignedProgram.isEmpty());
    ASSERT_TRUE(writeFile(unsignedProgram, readFile(KORVEL_EXE)));
    ASSERT_EQ(run(unsignedProgram), 0) << err.constData();
    EXPECT_EQ(server.requestCount("/bin/versions.xml"), 1);
    waitForLaunchedClient();
}

TEST_F(SignedRoad, StoredPackageWithTheRightMd5ButAnotherSha256IsFetchedAgain)
{
    publishSigned("1.0");
    publishSigned("2.0");
    // A file in the store whose MD5 is the one the signed manifest lists, but whose bytes are
    // not the signed ones (what an MD5 collision gives): another release's valid package.
    const QByteArray planted = treeFile("/component/sample_version.txt/1.0/sample_version.txt_1.0.7z");
    QByteArray manifest = treeFile("/bin/manifest/2.0.xml");
    const int at = manifest.indexOf("name=\"sample_version.txt\"");
    const int start = manifest.indexOf(" hash=\"", at) + 7;
    manifest.replace(start, 32, QCryptographicHash::hash(planted, QCryptographicHash::Md5).toHex());
    Signing manifestSigning;
    manifestSigning.path = "/bin/manifest/2.0.xml";
    manifestSigning.version = "2.0";
    // The signed catalogue names that manifest, so only the package can be refused.
    const QByteArray catalogue = naming(treeFile("/bin/versions.xml"), "2.0", manifest);
    serveTree();
    server.serve("/bin/versions.xml", HttpReply::ok(catalogue));
    server.serve("/bin/versions.xml.minisig", HttpReply::ok(sign(catalogue, Signing())));
    server.serve("/bin/manifest/2.0.xml", HttpReply::ok(manifest));
    server.serve("/bin/manifest/2.0.xml.minisig", HttpReply::ok(sign(manifest, manifestSigning)));
    ASSERT_TRUE(writeFile(home.dataDirectory() + "/packages/sample_version.txt/2.0.7z", planted));

    // The stored file is not taken; the one the mirrors have is, and fails its MD5.
    expectInstallRefused(QStringLiteral("sample_version.txt下载错误").toUtf8());
    EXPECT_EQ(server.requestCount("/component/sample_version.txt/2.0/sample_version.txt_2.0.7z"), 1);
}
