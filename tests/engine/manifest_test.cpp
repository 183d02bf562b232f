#include "engine/version_catalogue.h"

#include "loopback_fixture.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QMap>

namespace {

const QByteArray Manifest =
    "<Manifest>"
    "<Package name=\"core\" version=\"core-3\" no=\"12\" hash=\"900150983cd24fb0d6963f7d28e17f72\"/>"
    "<Package name=\"broken\" version=\"b-1\" no=\"1\"/>"
    "<Group><Package name=\"data\" version=\"data-7\" no=\"4\" "
    "hash=\"900150983CD24FB0D6963F7D28E17F72\"/></Group>"
    "<Entry file=\"libclient.so\" function=\"ClientMain\"/>"
    "</Manifest>";

QStringList packageNames(const VersionEntry &entry)
{
    QStringList result;
    for (const PackageRecord &p : entry.packages())
        result << p.name() + "/" + p.version() + "/" + p.no();
    return result;
}

// Every directory below root, relative to it.
QStringList directoriesBelow(const QString &root)
{
    QStringList result;
    QDirIterator it(root, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        result << QDir(root).relativeFilePath(it.next());
    result.sort();
    return result;
}

class ManifestTest : public LoopbackTest {
protected:
    VersionEntry entry(const QString &version = "1.2")
    {
        return VersionEntry(QDir(home.dataDirectory()), &sink, version, QString());
    }

    RecordingSink sink;
};

TEST_F(ManifestTest, CompletePackagesInDocumentOrderWithTheirStorePaths)
{
    VersionEntry e = entry();
    ASSERT_TRUE(e.parseManifest(Manifest));
    EXPECT_EQ(packageNames(e), (QStringList{"core/core-3/12", "data/data-7/4"}));
    EXPECT_EQ(e.entryFile(), "libclient.so");
    EXPECT_EQ(e.entryFunction(), "ClientMain");
    EXPECT_EQ(e.manifestData(), Manifest);

    const QByteArray md5abc = QByteArray::fromHex("900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(e.packages().at(0).digest(), md5abc);
    EXPECT_EQ(e.packages().at(1).digest(), md5abc); // upper-case hex is the same digest
    // Named, not made: the first download makes a package's directory.
    EXPECT_FALSE(QFileInfo::exists(home.dataDirectory() + "/packages"));
    EXPECT_EQ(e.packages().at(1).packageFilePath(), home.dataDirectory() + "/packages/data/data-7.7z");
}

TEST_F(ManifestTest, OnlyTheLastCompleteEntryAccepts)
{
    VersionEntry emptyFunction = entry();
    EXPECT_FALSE(emptyFunction.parseManifest("<M><Entry file=\"a.so\" function=\"\"/></M>"));
    EXPECT_TRUE(emptyFunction.manifestData().isEmpty());

    VersionEntry laterIncomplete = entry();
    EXPECT_FALSE(
        laterIncomplete.parseManifest("<M><Entry file=\"a.so\" function=\"f\"/><Entry file=\"b.so\"/></M>"));
    EXPECT_TRUE(laterIncomplete.entryFile().isEmpty()); // a refused manifest changes nothing

    VersionEntry otherCase = entry();
    EXPECT_FALSE(otherCase.parseManifest("<M><package name=\"p\" version=\"v\" no=\"1\" hash=\"00\"/>"
                                         "<ENTRY file=\"a.so\" function=\"f\"/></M>"));
    EXPECT_TRUE(otherCase.packages().isEmpty());

    VersionEntry noPackages = entry();
    EXPECT_TRUE(noPackages.parseManifest("<M><Entry file=\"a.so\" function=\"f\"/></M>"));
    EXPECT_TRUE(noPackages.packages().isEmpty());
    EXPECT_TRUE(noPackages.downloadPackages());
}

TEST_F(ManifestTest, PackageNamesLeavingTheStoreRefuseTheManifest)
{
    const QStringList before = directoriesBelow(home.root());
    for (const QByteArray &attributes :
         {QByteArray("name=\"..\" version=\"v\""), QByteArray("name=\"../../evil\" version=\"v\""),
          QByteArray("name=\"/tmp/evil\" version=\"v\""), QByteArray("name=\"a\\b\" version=\"v\""),
          QByteArray("name=\".\" version=\"v\""), QByteArray("name=\"p\" version=\"../../v\""),
          QByteArray("name=\"p\" version=\"..\""),
          // Names that open a device or another file on Windows, refused everywhere.
          QByteArray("name=\"CON\" version=\"v\""), QByteArray("name=\"nul.txt\" version=\"v\""),
          QByteArray("name=\"p\" version=\"com1\""), QByteArray("name=\"Lpt9.7z\" version=\"v\""),
          QByteArray("name=\"p.\" version=\"v\""), QByteArray("name=\"p\" version=\"v \""),
          QByteArray("name=\"a:b\" version=\"v\""), QByteArray("name=\"a|b\" version=\"v\""),
          QByteArray("name=\"p\" version=\"v?\""), QByteArray("name=\"a&#9;b\" version=\"v\"")}) {
        VersionEntry e = entry();
        EXPECT_FALSE(e.parseManifest("<M><Package " + attributes
                                     + " no=\"1\" hash=\"00\"/><Entry file=\"a.so\" "
                                       "function=\"f\"/></M>"))
            << attributes.constData();
        EXPECT_TRUE(e.manifestData().isEmpty());
    }
    // Not even the store itself was made for them.
    EXPECT_EQ(directoriesBelow(home.root()), before);

    server.serve("/bin/manifest/1.2.xml",
                 HttpReply::ok("<M><Package name=\"..\" version=\"v\" no=\"1\" hash=\"00\"/>"
                               "<Entry file=\"a.so\" function=\"f\"/></M>"));
    VersionEntry fetched = entry();
    EXPECT_FALSE(fetched.fetchManifest());
    EXPECT_EQ(sink.reports.value(1), (Report{1, -2, "1.2", "", "清单解释错误"}));
}

// A patch as the publisher lists it, with attributes replaced or dropped (an empty value drops).
QByteArray patchElement(const QMap<QByteArray, QByteArray> &changes = {})
{
    QMap<QByteArray, QByteArray> attributes{
        {"file", "lib/libclient.so"},          {"package", "core"},
        {"no", "12-from-00112233aabbccdd"},    {"hash", "0cc175b9c0f1b6a831c399e269772661"},
        {"sha256", QByteArray(64, 'a')},       {"size", "1000"},
        {"baseSha256", QByteArray(64, 'b')},   {"baseSize", "200000"},
        {"resultSha256", QByteArray(64, 'C')}, {"resultSize", "210000"}};
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        attributes[it.key()] = it.value();
    QByteArray element = "<Patch";
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it) {
        if (!it.value().isEmpty())
            element += ' ' + it.key() + "=\"" + it.value() + '"';
    }
    return element + "/>";
}

QByteArray withPatches(const QByteArray &patches)
{
    QByteArray manifest = Manifest;
    return manifest.replace("<Entry", patches + "<Entry");
}

TEST_F(ManifestTest, PatchesStandBesideThePackagesThatProgramsWithoutPatchesStillInstall)
{
    // What a program that knows no patches reads of a manifest with patches is what it reads of
    // the same manifest without them: the Package elements stay as they are, and a Patch is an
    // element such a program passes over.
    VersionEntry e = entry();
    ASSERT_TRUE(e.parseManifest(withPatches(patchElement() + patchElement({{"no", "12-from-99"}}))));
    EXPECT_EQ(packageNames(e), (QStringList{"core/core-3/12", "data/data-7/4"}));
    EXPECT_EQ(e.entryFile(), "libclient.so");
    ASSERT_EQ(e.patches().size(), 2);
    const PatchRecord &patch = e.patches().first();
    EXPECT_EQ(patch.file(), "lib/libclient.so");
    EXPECT_EQ(patch.package(), "core");
    EXPECT_EQ(patch.baseSha256(), QByteArray(32, char(0xbb)));
    EXPECT_EQ(patch.baseSize(), 200000);
    EXPECT_EQ(patch.resultSha256(), QByteArray(32, char(0xcc))); // either letter case
    EXPECT_EQ(patch.resultSize(), 210000);
    // Fetched and checked as a package is, beside that package's files.
    EXPECT_TRUE(patch.patchFile().isPatch());
    EXPECT_EQ(patch.patchFile().digest(), QByteArray::fromHex("0cc175b9c0f1b6a831c399e269772661"));
    EXPECT_EQ(patch.patchFile().sha256(), QByteArray(32, char(0xaa)));
    EXPECT_EQ(patch.patchFile().size(), 1000);
    EXPECT_EQ(patch.patchFile().packageFilePath(),
              home.dataDirectory() + "/packages/core/12-from-00112233aabbccdd.kvpatch");
    EXPECT_TRUE(PackageRecord::isStoreFileName("12-from-00112233aabbccdd.kvpatch.partial"));

    // A patch short of what a client checks, or standing in for no listed package, is dropped.
    for (const QMap<QByteArray, QByteArray> &changes :
         QList<QMap<QByteArray, QByteArray>>{{{"package", "unlisted"}},
                                             {{"baseSha256", ""}},
                                             {{"resultSize", ""}},
                                             {{"hash", ""}},
                                             {{"hash", "0cc175b9"}},
                                             {{"sha256", QByteArray(63, 'a')}},
                                             {{"size", "-1"}},
                                             {{"baseSize", "12kB"}},
                                             {{"resultSha256", QByteArray(64, 'g')}}}) {
        VersionEntry dropped = entry();
        ASSERT_TRUE(dropped.parseManifest(withPatches(patchElement(changes))))
            << changes.firstKey().constData();
        EXPECT_TRUE(dropped.patches().isEmpty()) << changes.firstKey().constData();
        EXPECT_EQ(packageNames(dropped), (QStringList{"core/core-3/12", "data/data-7/4"}));
    }

    // One whose names would lead out of the store or the version directory: the manifest is not
    // to be trusted, as with such a Package.
    const QStringList before = directoriesBelow(home.root());
    for (const QMap<QByteArray, QByteArray> &changes :
         QList<QMap<QByteArray, QByteArray>>{{{"file", "../libclient.so"}},
                                             {{"file", "lib/../../x"}},
                                             {{"file", "/tmp/x"}},
                                             {{"file", "lib//x"}},
                                             {{"file", "lib\\x"}},
                                             {{"file", "lib/"}},
                                             {{"package", ".."}},
                                             {{"no", "../../12"}},
                                             {{"no", "a/b"}}}) {
        VersionEntry refused = entry();
        EXPECT_FALSE(refused.parseManifest(withPatches(patchElement(changes))))
            << changes.first().constData();
        EXPECT_TRUE(refused.manifestData().isEmpty());
    }
    EXPECT_EQ(directoriesBelow(home.root()), before);
}

TEST_F(ManifestTest, FetchReportsAndHoldsTheLastManifestsPackagesOnly)
{
    server.serve("/bin/manifest/1.2.xml", HttpReply::ok(Manifest));
    VersionEntry e = entry();
    EXPECT_TRUE(e.fetchManifest());
    EXPECT_EQ(sink.reports, (QList<Report>{{1, 0, "1.2", "", "开始下载清单"}}));
    // The runner's fallback may fetch the same entry twice: it installs one list, not two.
    EXPECT_TRUE(e.fetchManifest());
    EXPECT_EQ(packageNames(e), (QStringList{"core/core-3/12", "data/data-7/4"}));
    EXPECT_EQ(server.requestCount("/bin/manifest/1.2.xml"), 2);
    // A manifest refused on the next fetch leaves the accepted one as it was.
    server.serve("/bin/manifest/1.2.xml",
                 HttpReply::ok("<M><Package name=\"x\" version=\"v\" no=\"1\" hash=\"00\"/>"
                               "<Package name=\"..\" version=\"v\" no=\"1\" hash=\"00\"/>"
                               "<Entry file=\"b.so\" function=\"g\"/></M>"));
    EXPECT_FALSE(e.fetchManifest());
    EXPECT_EQ(packageNames(e), (QStringList{"core/core-3/12", "data/data-7/4"}));
    EXPECT_EQ(e.manifestData(), Manifest);

    sink.reports.clear();
    server.serve("/bin/manifest/9.9.xml", HttpReply::status(404));
    VersionEntry missing = entry("9.9");
    EXPECT_FALSE(missing.fetchManifest());
    EXPECT_EQ(sink.reports,
              (QList<Report>{{1, 0, "9.9", "", "开始下载清单"}, {1, -1, "9.9", "", "下载清单错误"}}));
    EXPECT_TRUE(missing.entryFile().isEmpty());

    sink.reports.clear();
    server.serve("/bin/manifest/bad.xml", HttpReply::ok("<M><Entry file=\"a.so\"/></M>"));
    VersionEntry bad = entry("bad");
    EXPECT_FALSE(bad.fetchManifest());
    EXPECT_EQ(sink.reports.value(1), (Report{1, -2, "bad", "", "清单解释错误"}));
}

TEST_F(ManifestTest, VersionIsOnePathSegmentOfTheUrl)
{
    // A blank, "#", "?" and "%" are legal in a directory name; in the URL they must stay data.
    server.serve("/bin/manifest/1.0%20beta%232%3Fx%25.xml", HttpReply::ok(Manifest));
    VersionEntry e = entry("1.0 beta#2?x%");
    EXPECT_TRUE(e.fetchManifest());
    EXPECT_EQ(server.requests().size(), 1);
}

TEST_F(ManifestTest, OversizedAnswerIsADownloadError)
{
    // A manifest is a few kilobytes; a server that keeps sending must not fill memory.
    QByteArray huge = "<M><Entry file=\"a.so\" function=\"f\"/>";
    huge += QByteArray(16 * 1024 * 1024, ' ') + "</M>";
    server.serve("/bin/manifest/1.2.xml", HttpReply::ok(huge));
    VersionEntry e = entry();
    EXPECT_FALSE(e.fetchManifest());
    EXPECT_EQ(sink.reports.value(1), (Report{1, -1, "1.2", "", "下载清单错误"}));
}

TEST_F(ManifestTest, LocalManifestNeedsItsEntryFile)
{
    const QString versionDir = home.dataDirectory() + "/1.2";
    EXPECT_FALSE(entry().loadLocalManifest()); // no version directory

    ASSERT_TRUE(QDir().mkpath(versionDir));
    EXPECT_FALSE(entry().loadLocalManifest()); // no manifest.xml

    ASSERT_TRUE(writeFile(versionDir + "/manifest.xml", Manifest));
    ASSERT_TRUE(writeFile(versionDir + "/libclient.so", "elf"));
    VersionEntry installed = entry();
    EXPECT_TRUE(installed.loadLocalManifest());
    EXPECT_EQ(installed.manifestData(), Manifest);

    ASSERT_TRUE(QFile::remove(versionDir + "/libclient.so"));
    EXPECT_FALSE(entry().loadLocalManifest());

    // An entry without a version is its base directory (a client found flat beside the program).
    ASSERT_TRUE(writeFile(home.dataDirectory() + "/manifest.xml", Manifest));
    ASSERT_TRUE(writeFile(home.dataDirectory() + "/libclient.so", "elf"));
    VersionEntry flat(QDir(home.dataDirectory()), nullptr, QString(), QString());
    EXPECT_TRUE(flat.loadLocalManifest());
    EXPECT_TRUE(sink.reports.isEmpty());
}

} // namespace
