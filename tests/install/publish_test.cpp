#include "engine/version_catalogue.h"

#include "support/http_server.h"
#include "support/temp_home.h"
#include "support/tools.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

const QString kPublisher = QStringLiteral(KORVEL_BUILD_DIR "/korvel-publish");

int publish(const QString &version, const QString &source, const QString &tree, const QStringList &extra = {})
{
    QByteArray output;
    const int rc = runTool(kPublisher,
                           QStringList{"--version", version, "--source", source, "--output", tree,
                                       "--entry-file", "libclient.so", "--entry-function", "korvel_main"}
                               + extra,
                           {}, {}, &output);
    if (rc != 0)
        ADD_FAILURE() << output.constData();
    return rc;
}

QStringList listedVersions(const QString &catalogue)
{
    QStringList versions;
    QFile file(catalogue);
    VersionCatalogue parsed(QDir(QFileInfo(catalogue).absolutePath()));
    if (file.open(QIODevice::ReadOnly) && parsed.parseCatalogue(file)) {
        for (const VersionEntry &entry : parsed.versions())
            versions.append(entry.version() + (entry.isPrefetch() ? "*" : ""));
    }
    return versions;
}

void makeRelease(const QString &source, const QByteArray &flavour)
{
    ASSERT_TRUE(writeFile(source + "/Korvel.exe", readFile("/bin/true")));
    ASSERT_TRUE(writeFile(source + "/libclient.so", "client library " + flavour));
    ASSERT_TRUE(writeFile(source + "/data/strings.txt", "strings " + flavour));
    ASSERT_TRUE(writeFile(source + QStringLiteral("/data/图片/logo.png"), QByteArray(5000, 'p')));
    ASSERT_TRUE(writeFile(source + "/data/empty", QByteArray()));
}

// Source-like text files under src/, about 900 KB in all.
void writeSources(const QString &source)
{
    QRandomGenerator random(17);
    const QByteArrayList words = QByteArray("int void return const static struct class if else "
                                            "for while buffer length offset index count result")
                                     .split(' ');
    for (int i = 0; i < 150; ++i) {
        QByteArray text;
        while (text.size() < 6000) {
            for (int w = 0; w < 8; ++w)
                text += words.at(random.bounded(words.size())) + ' ';
            text += QByteArray::number(random.bounded(100000)) + ";\n";
        }
        ASSERT_TRUE(writeFile(
            source + QStringLiteral("/src/m%1/file%2.cpp").arg(i % 7).arg(i, 3, 10, QLatin1Char('0')), text));
    }
}

QList<PackageRecord> manifestPackages(const QString &tree, const QString &version)
{
    VersionEntry entry(QDir(tree), nullptr, version, "");
    EXPECT_TRUE(entry.parseManifest(readFile(tree + "/bin/manifest/" + version + ".xml")));
    return entry.packages();
}

} // namespace

TEST(Publisher, ATreeItPublishesInstallsThroughTheEngine)
{
    TempHome home;
    const QString source = home.root() + "/release";
    const QString tree = home.root() + "/tree";
    makeRelease(source, "3.1");
    ASSERT_EQ(publish("3.1", source, tree), 0);

    // Whatever a static server would serve, served from loopback as all three servers.
    TestHttpServer server;
    ASSERT_TRUE(server.isListening());
    const QMap<QString, QByteArray> published = filesBelow(tree);
    for (auto it = published.cbegin(); it != published.cend(); ++it)
        server.serve("/" + it.key().toUtf8(), HttpReply::ok(it.value()));
    ASSERT_TRUE(published.contains("bin/versions.xml"));
    ASSERT_TRUE(published.contains("bin/manifest/3.1.xml"));
    for (const char *variable :
         {"KORVEL_CATALOGUE_SERVER", "KORVEL_COMPONENT_SERVER", "KORVEL_PACKAGE_SERVER"})
        home.setEnv(variable, server.baseUrl().toUtf8());

    VersionCatalogue catalogue(QDir(home.dataDirectory()));
    ASSERT_TRUE(catalogue.checkVersions());
    ASSERT_EQ(catalogue.versions().size(), 1);
    VersionEntry entry = catalogue.versions().first();
    ASSERT_TRUE(entry.fetchManifest());
    EXPECT_EQ(entry.packages().size(), 3); // Korvel.exe, data, libclient.so
    ASSERT_TRUE(entry.downloadPackages());
    ASSERT_TRUE(entry.commitVersion());

    const QString installed = home.dataDirectory() + "/3.1";
    QMap<QString, QByteArray> expected = filesBelow(source);
    expected["manifest.xml"] = published["bin/manifest/3.1.xml"];
    EXPECT_EQ(filesBelow(installed), expected);
    EXPECT_EQ(readFile(home.dataDirectory() + "/Korvel.exe"), readFile("/bin/true"));
    EXPECT_TRUE(VersionEntry(QDir(home.dataDirectory()), nullptr, "3.1", "").loadLocalManifest());
    // Every package came from the component mirror, the first one tried.
    for (const PackageRecord &package : entry.packages())
        EXPECT_EQ(server.requestCount(
                      QStringLiteral("/component/%1/%2/%1_%2.7z").arg(package.name(), package.no()).toUtf8()),
                  1);
}

TEST(Publisher, RepublishingIsByteIdenticalAndKeepsListedVersions)
{
    TempHome home;
    const QString source = home.root() + "/release";
    makeRelease(source, "1");
    const QString first = home.root() + "/first";
    const QString second = home.root() + "/second";
    ASSERT_EQ(publish("1.0", source, first), 0);
    // Times must not matter, only content.
    QFile touched(source + "/data/strings.txt");
    ASSERT_TRUE(touched.open(QIODevice::ReadWrite));
    touched.setFileTime(QDateTime::currentDateTimeUtc().addDays(-3), QFileDevice::FileModificationTime);
    touched.close();
    ASSERT_EQ(publish("1.0", source, second), 0);
    EXPECT_EQ(filesBelow(first), filesBelow(second));
    ASSERT_EQ(publish("1.0", source, second), 0);
    EXPECT_EQ(filesBelow(first), filesBelow(second));
    EXPECT_EQ(filesBelow(first)["component/data/1.0/data_1.0.7z"], filesBelow(first)["data/1.0/data_1.0.7z"]);
    // The same files made elsewhere, at another time and in another order, pack the same.
    const QString copy = home.root() + "/copy";
    const QMap<QString, QByteArray> files = filesBelow(source);
    for (auto it = files.cend(); it != files.cbegin();) {
        --it;
        ASSERT_TRUE(writeFile(copy + "/" + it.key(), it.value()));
    }
    const QString third = home.root() + "/third";
    ASSERT_EQ(publish("1.0", copy, third), 0);
    EXPECT_EQ(filesBelow(first), filesBelow(third));

    makeRelease(source, "2");
    ASSERT_EQ(publish("2.0", source, first), 0);
    EXPECT_EQ(listedVersions(first + "/bin/versions.xml"), QStringList({"2.0", "1.0"}));
    ASSERT_EQ(publish("2.1-beta", source, first, {"--prefetch"}), 0);
    ASSERT_EQ(publish("2.2-beta", source, first, {"--prefetch"}), 0);
    EXPECT_EQ(listedVersions(first + "/bin/versions.xml"),
              QStringList({"2.0", "2.2-beta*", "2.1-beta*", "1.0"}));
    // Publishing a listed version again moves it rather than listing it twice.
    ASSERT_EQ(publish("1.0", source, first), 0);
    EXPECT_EQ(listedVersions(first + "/bin/versions.xml"),
              QStringList({"1.0", "2.0", "2.2-beta*", "2.1-beta*"}));
    EXPECT_TRUE(QFile::exists(first + "/bin/manifest/2.1-beta.xml"));
    EXPECT_TRUE(QFile::exists(first + "/libclient.so/2.0/libclient.so_2.0.7z"));
}

TEST(Publisher, GroupsPackagesAsToldAndRefusesBadRequests)
{
    TempHome home;
    const QString source = home.root() + "/release";
    makeRelease(source, "g");
    ASSERT_TRUE(writeFile(home.root() + "/packages.txt",
                          "# the launcher and the library travel together\n"
                          "core Korvel.exe libclient.so\n"));
    ASSERT_EQ(publish("1.0", source, home.root() + "/tree", {"--packages", home.root() + "/packages.txt"}),
              0);
    const QByteArray manifest = readFile(home.root() + "/tree/bin/manifest/1.0.xml");
    EXPECT_TRUE(manifest.contains("name=\"core\""));
    EXPECT_TRUE(manifest.contains("name=\"data\""));
    EXPECT_FALSE(manifest.contains("name=\"libclient.so\""));

    QByteArray output;
    const QStringList base{"--source", source, "--output", home.root() + "/bad", "--entry-function", "f"};
    EXPECT_NE(runTool(kPublisher, base + QStringList{"--version", "1.0", "--entry-file", "missing.so"}, {},
                      {}, &output),
              0);
    // A file beside the source is not in any package: clients would never find it.
    EXPECT_NE(runTool(kPublisher, base + QStringList{"--version", "1.0", "--entry-file", "../packages.txt"},
                      {}, {}, &output),
              0);
    EXPECT_NE(runTool(kPublisher, base + QStringList{"--version", "../x", "--entry-file", "libclient.so"}, {},
                      {}, &output),
              0);
    EXPECT_NE(runTool(kPublisher, QStringList{"--version", "1.0"}, {}, {}, &output), 0);
    // Authenticode signing needs a certificate and its key.
    EXPECT_NE(runTool(kPublisher,
                      base
                          + QStringList{"--version", "1.0", "--entry-file", "libclient.so",
                                        "--authenticode-certificate", home.root() + "/packages.txt"},
                      {}, {}, &output),
              0);
    EXPECT_FALSE(QFile::exists(home.root() + "/bad/bin/versions.xml"));
}

TEST(Publisher, ASecondVersionReusesUnchangedPackagesAndClientsFetchOnlyTheChangedOnes)
{
    TempHome home;
    const QString source = home.root() + "/release";
    const QString tree = home.root() + "/tree";
    makeRelease(source, "1");
    writeSources(source);
    // Most releases have a "bin" folder; "/bin/" on the servers is the catalogue's.
    ASSERT_TRUE(writeFile(source + "/bin/tool", "tool"));
    // More than a package may hold: src/ is cut into pieces of about a quarter of that.
    const QStringList pieceSize{"--package-size", "700000"};
    ASSERT_EQ(publish("1.0", source, tree, pieceSize), 0);
    const QList<PackageRecord> first = manifestPackages(tree, "1.0");
    QStringList names;
    for (const PackageRecord &package : first)
        names.append(package.name());
    EXPECT_TRUE(names.contains("bin_")) << names.join(' ').toStdString();
    // The small entries stay whole.
    const QStringList pieces = names.filter(QRegularExpression("^src-\\d{3}$"));
    EXPECT_GE(pieces.size(), 3) << names.join(' ').toStdString();
    EXPECT_EQ(names.size(), pieces.size() + 4) << names.join(' ').toStdString();

    TestHttpServer server;
    ASSERT_TRUE(server.isListening());
    for (const char *variable :
         {"KORVEL_CATALOGUE_SERVER", "KORVEL_COMPONENT_SERVER", "KORVEL_PACKAGE_SERVER"})
        home.setEnv(variable, server.baseUrl().toUtf8());
    auto install = [&](const QString &version) {
        const QMap<QString, QByteArray> published = filesBelow(tree);
        for (auto it = published.cbegin(); it != published.cend(); ++it)
            server.serve("/" + it.key().toUtf8(), HttpReply::ok(it.value()));
        server.clearRequests();
        VersionCatalogue catalogue(QDir(home.dataDirectory()));
        ASSERT_TRUE(catalogue.checkVersions());
        VersionEntry entry = catalogue.versions().first();
        ASSERT_EQ(entry.version(), version);
        ASSERT_TRUE(entry.fetchManifest());
        ASSERT_TRUE(entry.downloadPackages());
        ASSERT_TRUE(entry.commitVersion());
        QMap<QString, QByteArray> expected = filesBelow(source);
        expected["manifest.xml"] = published["bin/manifest/" + version + ".xml"];
        EXPECT_EQ(filesBelow(home.dataDirectory() + "/" + version), expected);
    };
    install("1.0");

    // One line of one source file changes.
    const QString changed = source + "/src/m3/file101.cpp";
    QByteArray text = readFile(changed);
    text.replace(text.indexOf(';'), 1, "; // changed");
    ASSERT_TRUE(writeFile(changed, text));
    // As a tree an older publisher made, without its notes of what it packed: the bytes alone
    // find the earlier packages.
    ASSERT_TRUE(QFile::remove(tree + "/.korvel-publish/packed-inputs"));
    ASSERT_EQ(publish("1.1", source, tree, pieceSize), 0);
    const QList<PackageRecord> second = manifestPackages(tree, "1.1");
    ASSERT_EQ(second.size(), first.size());
    QStringList fresh;
    for (int i = 0; i < second.size(); ++i) {
        const PackageRecord &package = second.at(i);
        EXPECT_EQ(package.name(), first.at(i).name());
        EXPECT_EQ(package.version(), package.no());
        if (package.version() == "1.1") {
            fresh.append(package.name());
            EXPECT_NE(package.digest(), first.at(i).digest());
        } else {
            EXPECT_EQ(package.version(), "1.0") << package.name().toStdString();
            EXPECT_EQ(package.digest(), first.at(i).digest()) << package.name().toStdString();
        }
    }
    ASSERT_EQ(fresh.size(), 1) << fresh.join(' ').toStdString();
    // Nothing of 1.1 but the changed piece is on the servers.
    for (const QString &file : filesBelow(tree).keys()) {
        if (file.endsWith(".7z") && file.contains("/1.1/")) {
            EXPECT_TRUE(file.contains(fresh.first() + "_1.1.7z")) << file.toStdString();
        }
    }

    install("1.1");
    int packageRequests = 0;
    for (const HttpRequest &request : server.requests())
        packageRequests += request.path().endsWith(".7z") ? 1 : 0;
    EXPECT_EQ(packageRequests, 1);
    EXPECT_EQ(server.requestCount(QStringLiteral("/component/%1/1.1/%1_1.1.7z").arg(fresh.first()).toUtf8()),
              1);

    // What was packed is remembered, but a mode is part of a package: an executable tool is
    // packed again.
    ASSERT_TRUE(QFile::setPermissions(source + "/bin/tool",
                                      QFile::permissions(source + "/bin/tool") | QFile::ExeOwner));
    ASSERT_EQ(publish("1.2", source, tree, pieceSize), 0);
    QStringList packedAgain;
    for (const PackageRecord &package : manifestPackages(tree, "1.2")) {
        if (package.version() == "1.2")
            packedAgain.append(package.name());
    }
    EXPECT_EQ(packedAgain, QStringList{"bin_"});

    // Republishing 1.0 with other bytes would break 1.1, which lists 1.0's packages.
    ASSERT_TRUE(writeFile(source + "/libclient.so", "client library 3"));
    QByteArray output;
    EXPECT_NE(runTool(kPublisher,
                      QStringList{"--version", "1.0", "--source", source, "--output", tree, "--entry-file",
                                  "libclient.so", "--entry-function", "korvel_main"}
                          + pieceSize,
                      {}, {}, &output),
              0);
    EXPECT_TRUE(output.contains("listed by another version")) << output.constData();
    EXPECT_EQ(manifestPackages(tree, "1.1").size(), second.size());
}

TEST(Publisher, SignsWhatMinisignVerifiesTheSameWayEachTime)
{
    TempHome home;
    const QString source = home.root() + "/release";
    makeRelease(source, "s");
    // A key with a password, as minisign makes it by default.
    QByteArray output;
    ASSERT_EQ(runTool(QStringLiteral("minisign"),
                      {"-G", "-p", home.root() + "/k.pub", "-s", home.root() + "/k.key"}, {},
                      "pass phrase\npass phrase\n", &output),
              0)
        << output.constData();
    ASSERT_TRUE(writeFile(home.root() + "/password", "pass phrase\n"));
    const QStringList encrypted{"--sign-key",
                                home.root() + "/k.key",
                                "--sign-password-file",
                                home.root() + "/password",
                                "--sequence",
                                "5",
                                "--expires",
                                "4000000000"};
    const QStringList plain{"--sign-key", KORVEL_TEST_SECRET_KEY, "--sequence", "5", "--no-expiry"};

    const QString first = home.root() + "/first";
    const QString second = home.root() + "/second";
    ASSERT_EQ(publish("1.0", source, first, encrypted), 0);
    ASSERT_EQ(publish("1.0", source, second, plain), 0);
    ASSERT_EQ(publish("1.0", source, home.root() + "/third", plain), 0);
    EXPECT_EQ(filesBelow(second), filesBelow(home.root() + "/third"));

    const QString firstKey = QString::fromLatin1(readFile(home.root() + "/k.pub").split('\n').value(1));
    const QString testKey = QStringLiteral(KORVEL_TEST_RELEASE_KEY);
    for (const auto &[tree, key] : {std::pair{first, firstKey}, std::pair{second, testKey}}) {
        for (const char *file : {"/bin/versions.xml", "/bin/manifest/1.0.xml"}) {
            EXPECT_EQ(
                runTool(QStringLiteral("minisign"), {"-V", "-P", key, "-m", tree + file}, {}, {}, &output), 0)
                << file << ": " << output.constData();
            EXPECT_TRUE(output.contains("korvel-release-1 product=korvel path=" + QByteArray(file)))
                << output.constData();
        }
    }
    EXPECT_TRUE(readFile(first + "/bin/versions.xml.minisig").contains(" expires=4000000000"));
    EXPECT_TRUE(readFile(second + "/bin/manifest/1.0.xml.minisig").contains(" version=1.0"));

    // A wrong password, a sequence that does not grow, signing options without a key: refused,
    // and the tree is left as it was.
    ASSERT_TRUE(writeFile(home.root() + "/password", "wrong\n"));
    const QMap<QString, QByteArray> before = filesBelow(first);
    makeRelease(source, "t");
    const QStringList release{"--version",        "2.0", "--source", source, "--entry-file", "libclient.so",
                              "--entry-function", "f",   "--output"};
    QStringList nextWithWrongPassword = encrypted;
    nextWithWrongPassword.replace(nextWithWrongPassword.indexOf("5"), "6");
    EXPECT_NE(runTool(kPublisher, release + QStringList{first} + nextWithWrongPassword, {}, {}, &output), 0);
    EXPECT_TRUE(output.contains("password")) << output.constData();
    EXPECT_NE(runTool(kPublisher, release + QStringList{second} + plain, {}, {}, &output), 0);
    EXPECT_TRUE(output.contains("not above")) << output.constData();
    EXPECT_NE(runTool(kPublisher, release + QStringList{second, "--sequence", "9"}, {}, {}, &output), 0);
    EXPECT_EQ(filesBelow(first), before);
    EXPECT_FALSE(QFile::exists(second + "/bin/manifest/2.0.xml"));
}

TEST(Publisher, SignsOnlyWithAStatedExpiryASaneSequenceAndAKeyTheClientsHave)
{
    TempHome home;
    const QString source = home.root() + "/release";
    const QString tree = home.root() + "/tree";
    makeRelease(source, "e");
    const QString testKey = QStringLiteral(KORVEL_TEST_RELEASE_KEY);
    const QString secondKey = QStringLiteral(KORVEL_SECOND_RELEASE_KEY);
    const QString future = QString::number(QDateTime::currentSecsSinceEpoch() + 30 * 24 * 3600);
    const QStringList release{"--source",         source,
                              "--output",         tree,
                              "--entry-file",     "libclient.so",
                              "--entry-function", "f",
                              "--sign-key",       KORVEL_TEST_SECRET_KEY,
                              "--version"};
    QByteArray output;
    const auto refused = [&](const QStringList &arguments, const char *reason) {
        SCOPED_TRACE(reason);
        EXPECT_NE(runTool(kPublisher, arguments, {}, {}, &output), 0);
        EXPECT_TRUE(output.contains(reason)) << output.constData();
        EXPECT_FALSE(QFileInfo::exists(tree + "/bin/versions.xml"));
    };

    // No expiry said, both said, one that is past: nothing is published.
    refused(release + QStringList{"1.0", "--sequence", "1"}, "--expires UNIXTIME or --no-expiry");
    refused(release + QStringList{"1.0", "--sequence", "1", "--no-expiry", "--expires", future},
            "--expires UNIXTIME or --no-expiry");
    refused(release + QStringList{"1.0", "--sequence", "1", "--expires", "1000"}, "already past");
    // A sequence a million above the tree's (none: 0) is a typo until said otherwise.
    refused(release + QStringList{"1.0", "--sequence", "1000001", "--no-expiry"}, "--force-sequence");
    // A key the clients were not built with.
    refused(release + QStringList{"1.0", "--sequence", "1", "--no-expiry", "--expect-public-key", secondKey},
            "not one of --expect-public-key");

    EXPECT_EQ(runTool(kPublisher,
                      release
                          + QStringList{"1.0", "--sequence", "1000001", "--force-sequence", "--expires",
                                        future, "--expect-public-key", secondKey + ";" + testKey},
                      {}, {}, &output),
              0)
        << output.constData();
    for (const char *file : {"/bin/versions.xml", "/bin/manifest/1.0.xml"}) {
        EXPECT_EQ(
            runTool(QStringLiteral("minisign"), {"-V", "-P", testKey, "-m", tree + file}, {}, {}, &output), 0)
            << output.constData();
        EXPECT_TRUE(output.contains(" sequence=1000001 ")) << output.constData();
        EXPECT_TRUE(output.contains(" expires=" + future.toLatin1())) << output.constData();
    }

    // Signed again as it stands, with a new sequence and expiry: the manifest's bytes stay, and
    // the catalogue names them.
    const QByteArray manifest = readFile(tree + "/bin/manifest/1.0.xml");
    const QString later = QString::number(future.toLongLong() + 3600);
    ASSERT_EQ(runTool(kPublisher,
                      {"--resign", "--output", tree, "--sign-key", KORVEL_TEST_SECRET_KEY, "--sequence",
                       "1000002", "--expires", later},
                      {}, {}, &output),
              0)
        << output.constData();
    EXPECT_EQ(readFile(tree + "/bin/manifest/1.0.xml"), manifest);
    const QByteArray catalogue = readFile(tree + "/bin/versions.xml");
    EXPECT_TRUE(catalogue.contains(
        "manifestSha256=\"" + QCryptographicHash::hash(manifest, QCryptographicHash::Sha256).toHex() + "\""))
        << catalogue.constData();
    EXPECT_TRUE(catalogue.contains("manifestSize=\"" + QByteArray::number(manifest.size()) + "\""));
    for (const char *file : {"/bin/versions.xml", "/bin/manifest/1.0.xml"}) {
        EXPECT_EQ(
            runTool(QStringLiteral("minisign"), {"-V", "-P", testKey, "-m", tree + file}, {}, {}, &output), 0)
            << output.constData();
        EXPECT_TRUE(output.contains(" sequence=1000002 ")) << output.constData();
        EXPECT_TRUE(output.contains(" expires=" + later.toLatin1())) << output.constData();
    }

    // A version the signed tree holds is not published again, whatever the sequence.
    makeRelease(source, "f");
    const QMap<QString, QByteArray> before = filesBelow(tree);
    EXPECT_NE(runTool(kPublisher, release + QStringList{"1.0", "--sequence", "1000003", "--no-expiry"}, {},
                      {}, &output),
              0);
    EXPECT_TRUE(output.contains("1.0 is already published in this signed tree")) << output.constData();
    EXPECT_TRUE(filesBelow(tree) == before);
    EXPECT_EQ(runTool(kPublisher, release + QStringList{"1.1", "--sequence", "1000003", "--no-expiry"}, {},
                      {}, &output),
              0)
        << output.constData();
}
