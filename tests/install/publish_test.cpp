// The release publisher, run as its users run it and checked through the program's own engine:
// one file over 500 lines because every case builds on the same release and tree helpers.
#include "engine/version_catalogue.h"
#include "install/binary_patch.h"

#include "support/http_server.h"
#include "support/temp_home.h"
#include "support/tools.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>

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

// Adds a failure for every package a manifest of tree lists whose file on either mirror is
// missing or holds other bytes than the manifest says (MD5, SHA-256, size), and for every
// version the catalogue lists without a manifest.
void expectManifestsMatchTheirPackages(const QString &tree)
{
    const QDir manifests(tree + "/bin/manifest");
    for (const QString &name : manifests.entryList({"*.xml"}, QDir::Files)) {
        QXmlStreamReader reader(readFile(manifests.filePath(name)));
        while (!reader.atEnd()) {
            if (reader.readNext() != QXmlStreamReader::StartElement
                || reader.name() != QLatin1String("Package"))
                continue;
            const QXmlStreamAttributes a = reader.attributes();
            const QString package = a.value("name").toString();
            const QString no = a.value("no").toString();
            for (const QString &path : {QStringLiteral("/component/%1/%2/%1_%2.7z").arg(package, no),
                                        QStringLiteral("/%1/%2/%1_%2.7z").arg(package, no)}) {
                SCOPED_TRACE((name + " lists " + path).toStdString());
                const QByteArray bytes = readFile(tree + path);
                ASSERT_TRUE(QFileInfo(tree + path).isFile());
                EXPECT_EQ(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex().toStdString(),
                          a.value("hash").toString().toStdString());
                EXPECT_EQ(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString(),
                          a.value("sha256").toString().toStdString());
                EXPECT_EQ(QString::number(bytes.size()), a.value("size").toString());
            }
        }
    }
    for (QString version : listedVersions(tree + "/bin/versions.xml")) {
        version.remove('*');
        EXPECT_TRUE(QFileInfo::exists(manifests.filePath(version + ".xml"))) << version.toStdString();
    }
}

// The files a client reads first: the catalogue and the manifests, with their signatures.
QMap<QString, QByteArray> publishedLists(const QString &tree)
{
    return filesBelow(tree + "/bin");
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
    // Versions become directories on the clients: the names clients refuse are refused here.
    for (const char *version : {"../x", "CON", "nul.txt", "com1", "1.0.", "1:0", "1 0", ".1"}) {
        EXPECT_NE(runTool(kPublisher,
                          base + QStringList{"--version", version, "--entry-file", "libclient.so"}, {}, {},
                          &output),
                  0)
            << version;
    }
    // So are package names, which become directories in the clients' stores.
    for (const char *name : {"aux", "LPT1.d", "core."}) {
        ASSERT_TRUE(writeFile(home.root() + "/named.txt", QByteArray(name) + " Korvel.exe libclient.so\n"));
        EXPECT_NE(runTool(kPublisher,
                          base
                              + QStringList{"--version", "1.0", "--entry-file", "libclient.so", "--packages",
                                            home.root() + "/named.txt"},
                          {}, {}, &output),
                  0)
            << name;
    }
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

TEST(Publisher, RefusesAReleaseThatClientsWouldRefuseToInstall)
{
    TempHome home;
    const QString source = home.root() + "/release";
    const QString tree = home.root() + "/tree";
    const QList<QPair<const char *, std::function<void()>>> cases{
        {"a file of 4 GiB",
         [&] {
             QFile big(source + "/data/big.bin");
             ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(qint64(1) << 32)); // sparse
         }},
        {"two files in one place where letter case does not count",
         [&] { ASSERT_TRUE(writeFile(source + "/Data/strings.txt", "other strings")); }},
        {"the name of a file being extracted",
         [&] { ASSERT_TRUE(writeFile(source + "/data/strings.txt.korvel-new", "x")); }},
        {"the name of the installed manifest",
         [&] { ASSERT_TRUE(writeFile(source + "/Manifest.xml", "x")); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        QDir(source).removeRecursively();
        makeRelease(source, "1");
        c.second();
        QByteArray output;
        EXPECT_NE(runTool(kPublisher,
                          {"--version", "1.0", "--source", source, "--output", tree, "--entry-file",
                           "libclient.so", "--entry-function", "korvel_main"},
                          {}, {}, &output),
                  0);
        EXPECT_FALSE(QFileInfo::exists(tree + "/bin")) << output.constData();
    }
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

    // 1.0 published again with other bytes: 1.1, which lists 1.0's packages, keeps finding
    // the bytes it lists, and 1.0's new bytes go where nothing was published.
    const QMap<QString, QByteArray> before = filesBelow(tree);
    ASSERT_TRUE(writeFile(source + "/libclient.so", "client library 3"));
    ASSERT_EQ(publish("1.0", source, tree, pieceSize), 0);
    const QMap<QString, QByteArray> after = filesBelow(tree);
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (it.key().endsWith(".7z")) {
            EXPECT_EQ(after.value(it.key()), it.value()) << it.key().toStdString();
        }
    }
    EXPECT_EQ(after.value("bin/manifest/1.1.xml"), before.value("bin/manifest/1.1.xml"));
    expectManifestsMatchTheirPackages(tree);
    for (const PackageRecord &package : manifestPackages(tree, "1.0")) {
        if (package.name() == "libclient.so") {
            EXPECT_TRUE(package.no().startsWith("1.0-")) << package.no().toStdString();
            EXPECT_EQ(package.version(), package.no());
        }
    }
}

TEST(Publisher, AChangedFileAloneInItsPackageGetsAPatchFromEachEarlierContentStraightToTheNew)
{
    TempHome home;
    const QString source = home.root() + "/release";
    const QString tree = home.root() + "/tree";
    // A library rebuilt for each version, one whose bytes are all new each time (no patch can
    // be under half of its package), and the small client library that changes too.
    std::mt19937 rng(28);
    QList<QByteArray> builds{codeLikeBytes(600000, rng)};
    for (int i = 0; i < 3; ++i)
        builds.append(rebuiltBinary(builds.last(), rng));
    QMap<QString, QByteArray> bigFiles; // version -> lib/libbig.so
    const auto release = [&](const QString &version, int build, const QStringList &extra = {}) {
        makeRelease(source, version.toUtf8());
        bigFiles[version] = builds.at(build);
        ASSERT_TRUE(writeFile(source + "/lib/libbig.so", builds.at(build)));
        ASSERT_TRUE(writeFile(source + "/noise.bin", codeLikeBytes(300000, rng)));
        ASSERT_EQ(publish(version, source, tree, extra), 0);
    };
    struct Listed {
        QString from; // the version whose content is the base
        PatchRecord patch;
    };
    const auto patchesOf = [&](const QString &version) {
        VersionEntry entry(QDir(tree), nullptr, version, "");
        EXPECT_TRUE(entry.parseManifest(readFile(tree + "/bin/manifest/" + version + ".xml")));
        QList<Listed> listed;
        for (const PatchRecord &patch : entry.patches()) {
            QString from;
            for (auto it = bigFiles.cbegin(); it != bigFiles.cend(); ++it) {
                if (QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256) == patch.baseSha256()
                    && from.isEmpty())
                    from = it.key();
            }
            listed.append(Listed{from, patch});
        }
        return listed;
    };
    // Each patch is on both mirrors as listed, and turns its base into this version's file.
    const auto expectApplies = [&](const QString &version, const Listed &listed) {
        const PatchRecord &patch = listed.patch;
        SCOPED_TRACE((version + " from " + listed.from).toStdString());
        EXPECT_EQ(patch.file(), "lib/libbig.so");
        EXPECT_EQ(patch.package(), "lib");
        const QString no = patch.patchFile().no();
        const QByteArray bytes = readFile(tree + QStringLiteral("/component/lib/%1/lib_%1.kvpatch").arg(no));
        EXPECT_EQ(readFile(tree + QStringLiteral("/lib/%1/lib_%1.kvpatch").arg(no)), bytes);
        EXPECT_EQ(QCryptographicHash::hash(bytes, QCryptographicHash::Md5), patch.patchFile().digest());
        EXPECT_EQ(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256), patch.patchFile().sha256());
        EXPECT_EQ(bytes.size(), patch.patchFile().size());
        EXPECT_EQ(patch.baseSize(), bigFiles[listed.from].size());
        EXPECT_EQ(patch.resultSha256(),
                  QCryptographicHash::hash(bigFiles[version], QCryptographicHash::Sha256));
        EXPECT_EQ(patch.resultSize(), bigFiles[version].size());
        QBuffer patchDevice;
        patchDevice.setData(bytes);
        QBuffer base;
        base.setData(bigFiles[listed.from]);
        QByteArray result;
        QBuffer out(&result);
        ASSERT_TRUE(patchDevice.open(QIODevice::ReadOnly) && base.open(QIODevice::ReadOnly)
                    && out.open(QIODevice::WriteOnly));
        EXPECT_EQ(applyPatch(&patchDevice, &base, &out), PatchStatus::Applied);
        EXPECT_TRUE(result == bigFiles[version]);
        // Well under half of the package it stands in for.
        for (const PackageRecord &package : manifestPackages(tree, version)) {
            const QString file = tree + QStringLiteral("/component/lib/%1/lib_%1.7z").arg(package.no());
            if (package.name() == patch.package()) {
                EXPECT_LT(bytes.size() * 10, QFileInfo(file).size());
            }
        }
    };
    const auto fromVersions = [](const QList<Listed> &listed) {
        QStringList versions;
        for (const Listed &patch : listed)
            versions.append(patch.from);
        return versions;
    };

    release("1.0", 0);
    EXPECT_TRUE(patchesOf("1.0").isEmpty());
    release("2.0", 1);
    QList<Listed> patches = patchesOf("2.0");
    EXPECT_EQ(fromVersions(patches), QStringList{"1.0"});
    for (const Listed &patch : patches)
        expectApplies("2.0", patch);
    // Straight from each earlier content, never through the one between.
    release("3.0", 2);
    patches = patchesOf("3.0");
    EXPECT_EQ(fromVersions(patches), (QStringList{"2.0", "1.0"}));
    for (const Listed &patch : patches)
        expectApplies("3.0", patch);
    // Only as far back as asked.
    release("4.0", 3, {"--patch-depth", "2"});
    EXPECT_EQ(fromVersions(patchesOf("4.0")), (QStringList{"3.0", "2.0"}));
    release("4.1", 3, {"--patch-depth", "0"});
    EXPECT_TRUE(patchesOf("4.1").isEmpty());

    // 4.2 holds 4.0's library again: its package is 4.0's, and so are its patches, found in the
    // tree as they were published, never made or written again.
    const QMap<QString, QByteArray> before = filesBelow(tree);
    const QMap<QString, quint64> identities = fileIdentities(tree);
    bigFiles["4.1"] = builds.at(3);
    release("4.2", 3, {"--patch-depth", "4"});
    patches = patchesOf("4.2");
    EXPECT_EQ(fromVersions(patches), (QStringList{"3.0", "2.0"})); // 4.1 and 4.0 hold the same
    for (const Listed &patch : patches) {
        expectApplies("4.2", patch);
        const QString path = "component/lib/" + patch.patch.patchFile().no() + "/lib_"
            + patch.patch.patchFile().no() + ".kvpatch";
        EXPECT_TRUE(before.contains(path)) << path.toStdString();
        EXPECT_EQ(fileIdentities(tree).value(path), identities.value(path)) << path.toStdString();
    }
    expectManifestsMatchTheirPackages(tree);
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

TEST(Publisher, APublishThatFailsLeavesEveryPublishedVersionInstallable)
{
    TempHome home;
    const QString source = home.root() + "/release";
    const QString tree = home.root() + "/tree";
    const auto notes = [&](const QByteArray &text) {
        // Noise, so that a full disk can come at more than one moment.
        QByteArray noise(120000, '\0');
        QRandomGenerator(text.size()).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        ASSERT_TRUE(writeFile(source + "/a-notes/notes.txt", text));
        ASSERT_TRUE(writeFile(source + "/a-notes/noise.bin", noise));
    };
    // 1.0, then 1.1, which lists 1.0's launcher and data packages as its own.
    makeRelease(source, "1");
    notes("notes of 1.0");
    ASSERT_EQ(publish("1.0", source, tree), 0);
    ASSERT_TRUE(writeFile(source + "/libclient.so", "client library 1.1"));
    notes("notes of 1.1");
    ASSERT_EQ(publish("1.1", source, tree), 0);
    expectManifestsMatchTheirPackages(tree);
    const QString published = home.root() + "/published";
    ASSERT_EQ(runTool("cp", {"-a", tree, published}), 0);
    const QMap<QString, QByteArray> lists = publishedLists(tree);

    // 1.0 published again: its notes change (they come first), and then something fails.
    const QString certificate = home.root() + "/garbage.pem";
    ASSERT_TRUE(writeFile(certificate, "not a certificate"));
    struct Case {
        const char *what;
        std::function<void()> prepare;
        QStringList arguments;
        bool fails;
    };
    const QList<Case> cases{
        // Its clients must keep finding the bytes they were promised: the new ones go to URLs
        // of their own.
        {"a package that another version lists, changed",
         [&] { ASSERT_TRUE(writeFile(source + "/data/strings.txt", "strings changed")); },
         {},
         false},
        {"a package that 7zz cannot pack",
         [&] { ASSERT_TRUE(QFile::link(home.root() + "/nowhere", source + "/zz-broken")); },
         {},
         true},
        {"a launcher that cannot be signed",
         [&] { ASSERT_TRUE(writeFile(home.root() + "/packages.txt", "zz-core Korvel.exe\n")); },
         {"--packages", home.root() + "/packages.txt", "--authenticode-certificate", certificate,
          "--authenticode-key", certificate},
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QDir(tree).removeRecursively();
        ASSERT_EQ(runTool("cp", {"-a", published, tree}), 0);
        makeRelease(source, "1");
        notes("notes of 1.0, changed");
        QFile::remove(source + "/zz-broken");
        QFile::remove(home.root() + "/packages.txt");
        c.prepare();
        QByteArray output;
        const int rc = runTool(kPublisher,
                               QStringList{"--version", "1.0", "--source", source, "--output", tree,
                                           "--entry-file", "libclient.so", "--entry-function", "korvel_main"}
                                   + c.arguments,
                               {}, {}, &output);
        EXPECT_EQ(rc != 0, c.fails) << output.constData();
        expectManifestsMatchTheirPackages(tree);
        if (c.fails) {
            EXPECT_EQ(publishedLists(tree), lists);
        } else {
            EXPECT_EQ(readFile(tree + "/bin/manifest/1.1.xml"), lists.value("manifest/1.1.xml"));
            EXPECT_NE(readFile(tree + "/bin/manifest/1.0.xml"), lists.value("manifest/1.0.xml"));
        }
    }
    QFile::remove(source + "/zz-broken");

    // The same republication on a disk that fills up at one moment or another (a file
    // system of its own, where the test may mount one).
    makeRelease(source, "1");
    notes("notes of 1.0, changed");
    const QString script = "mount -t tmpfs -o size=$1 none \"$2\" && cp -a \"$3/.\" \"$2\" || exit 99\n"
                           "\"$4\" --version 1.0 --source \"$5\" --output \"$2\" --entry-file libclient.so "
                           "--entry-function korvel_main\n"
                           "rc=$?; cp -a \"$2/.\" \"$6\"; exit $rc\n";
    qint64 used = 0;
    for (const QByteArray &content : filesBelow(published))
        used += (content.size() + 4095) / 4096 * 4096 + 4096;
    bool failed = false;
    bool succeeded = false;
    QByteArray lastOutcome;
    for (qint64 room = 0; room <= (1 << 20) && !succeeded; room += 8 << 10) {
        SCOPED_TRACE(room);
        const QString mounted = home.root() + "/mounted";
        QDir(tree).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(mounted) && QDir().mkpath(tree));
        QByteArray output;
        const int rc = runTool("unshare",
                               {"-m", "sh", "-c", script, "sh", QString::number(used + room), mounted,
                                published, kPublisher, source, tree},
                               {}, {}, &output);
        if (rc == 99 || rc == -1)
            GTEST_SKIP() << "no file system of our own to fill here: " << output.constData();
        (rc == 0 ? succeeded : failed) = true;
        QByteArray outcome = "published";
        for (const QByteArray &line : output.split('\n')) {
            if (rc != 0 && line.startsWith("korvel-publish:"))
                outcome = line;
        }
        if (outcome != lastOutcome)
            std::printf("  from %lld KiB to spare: %s\n", room >> 10, outcome.constData());
        lastOutcome = outcome;
        expectManifestsMatchTheirPackages(tree);
    }
    EXPECT_TRUE(failed);
    EXPECT_TRUE(succeeded);
}
