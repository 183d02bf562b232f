#include "install/archive_reader.h"
#include "install/commit.h"
#include "install/extraction.h"

#include "support/temp_home.h"
#include "support/tools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

bool extract(const QString &archivePath, const QString &destination)
{
    QFile file(archivePath);
    return file.open(QIODevice::ReadOnly) && extractArchive(&file, QDir(destination));
}

// stageArchive taking files from the installed versions, then the staged files committed.
bool stageAndCommit(const QString &archivePath, const QString &destination, const QStringList &versions)
{
    QFile file(archivePath);
    StagedFiles staged;
    return file.open(QIODevice::ReadOnly) && stageArchive(&file, QDir(destination), &staged, versions)
        && staged.commit();
}

QStringList entryNames(const QString &archivePath)
{
    QFile file(archivePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    ArchiveReader reader(&file);
    QStringList names;
    for (quint32 i = 0; i < reader.numEntries(); ++i)
        names.append(reader.entryName(i));
    return names;
}

// Everything below dir, as relative paths.
QStringList listing(const QString &dir)
{
    QStringList all;
    const QFileInfoList infos =
        QDir(dir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &info : infos) {
        all.append(info.fileName());
        if (info.isDir() && !info.isSymLink()) {
            for (const QString &inner : listing(info.filePath()))
                all.append(info.fileName() + '/' + inner);
        }
    }
    return all;
}

// The identity of the file at path (its inode): a file written anew, or renamed over, gets
// another one.
quint64 inode(const QString &path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? quint64(info.st_ino) : 0;
}

} // namespace

TEST(ExtractArchive, FilesAlreadyInPlaceAreNotWrittenAndTheirFolderNotDecoded)
{
    TempHome home;
    const QString source = home.root() + "/src";
    const QMap<QString, QByteArray> tree{
        {"a.txt", QByteArray("alpha\n").repeated(3000)}, {"sub/b.txt", "beta"}, {"empty.txt", ""}};
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        ASSERT_TRUE(writeFile(source + '/' + it.key(), it.value()));
    // A streamed folder and one decoded whole.
    for (const char *method : {"-m0=LZMA2", "-m0=Copy"}) {
        SCOPED_TRACE(method);
        const QString archive = home.root() + "/p.7z";
        QFile::remove(archive);
        ASSERT_TRUE(make7z(source, archive, {".", "-ms=on", "-mhc=off", method}));
        const QString out = home.root() + "/out" + QString::fromLatin1(method);
        ASSERT_TRUE(extract(archive, out));
        QMap<QString, quint64> before;
        for (const QString &path : tree.keys())
            before[path] = inode(out + '/' + path);

        // With its packed data damaged the archive can no longer be decoded: only a folder that
        // is not decoded at all leaves the extraction a success.
        QByteArray damaged = readFile(archive);
        for (int i = 32; i < 48; ++i)
            damaged[i] = char(damaged[i] ^ 0x5a);
        ASSERT_TRUE(writeFile(archive, damaged));
        EXPECT_TRUE(extract(archive, out));
        for (const QString &path : tree.keys())
            EXPECT_EQ(inode(out + '/' + path), before[path]) << path.toStdString();

        // One changed file: its folder is decoded (and fails here, changing nothing).
        ASSERT_TRUE(writeFile(out + "/a.txt", "changed"));
        const quint64 changed = inode(out + "/a.txt");
        EXPECT_FALSE(extract(archive, out));
        EXPECT_EQ(readFile(out + "/a.txt"), "changed");
        EXPECT_EQ(inode(out + "/a.txt"), changed);
        EXPECT_EQ(inode(out + "/sub/b.txt"), before["sub/b.txt"]);
    }
}

TEST(ExtractArchive, UnchangedFilesAreTakenFromAnInstalledVersionAndOnlyTheRestDecoded)
{
    TempHome home;
    const QString source = home.root() + "/src";
    const QMap<QString, QByteArray> tree{{"a.txt", QByteArray("alpha\n").repeated(3000)},
                                         {"sub/b.txt", "beta"},
                                         {"tool", "#!/bin/sh\n"},
                                         {"empty.txt", ""}};
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        ASSERT_TRUE(writeFile(source + '/' + it.key(), it.value()));
    ASSERT_EQ(runTool("chmod", {"0755", "tool"}, source), 0);
    const QString archive = home.root() + "/p.7z";
    ASSERT_TRUE(make7z(source, archive, {".", "-ms=on", "-mhc=off", "-m0=LZMA2"}));
    const QString installed = home.root() + "/1.0";
    ASSERT_TRUE(extract(archive, installed));
    const auto stage = [&](const QString &destination, const QStringList &versions) {
        return stageAndCommit(archive, destination, versions);
    };
    const auto expectWhole = [&](const QString &directory) {
        for (auto it = tree.cbegin(); it != tree.cend(); ++it)
            EXPECT_EQ(readFile(directory + '/' + it.key()), it.value()) << it.key().toStdString();
        EXPECT_TRUE(QFileInfo(directory + "/tool").isExecutable());
        EXPECT_FALSE(QFileInfo(directory + "/a.txt").isExecutable());
    };
    const QByteArray intact = readFile(archive);

    {
        SCOPED_TRACE("every file has its copy");
        // With its packed data damaged the archive can no longer be decoded: only a folder
        // that is not decoded at all leaves the extraction a success.
        QByteArray damaged = intact;
        for (int i = 32; i < 48; ++i)
            damaged[i] = char(damaged[i] ^ 0x5a);
        ASSERT_TRUE(writeFile(archive, damaged));
        const QString next = home.root() + "/2.0";
        // The destination itself among the versions is passed over.
        ASSERT_TRUE(stage(next, {next, installed}));
        expectWhole(next);
        for (const char *path : {"a.txt", "sub/b.txt", "tool"})
            EXPECT_EQ(inode(next + '/' + path), inode(installed + '/' + path)) << path;
        EXPECT_EQ(listing(next), QStringList({"a.txt", "empty.txt", "sub", "sub/b.txt", "tool"}));
        // Either version goes without touching the other.
        const QString again = home.root() + "/2.0-again";
        ASSERT_TRUE(stage(again, {next}));
        ASSERT_TRUE(QDir(next).removeRecursively());
        expectWhole(again);
        expectWhole(installed);
        ASSERT_TRUE(writeFile(archive, intact));
    }
    {
        SCOPED_TRACE("copies that must not be taken");
        const QString other = home.root() + "/other";
        ASSERT_TRUE(extract(archive, other));
        // Changed after its install, with its size kept.
        ASSERT_TRUE(writeFile(installed + "/sub/b.txt", "bEta"));
        // Other execute bits, both ways.
        ASSERT_EQ(runTool("chmod", {"0644", "tool"}, installed), 0);
        ASSERT_EQ(runTool("chmod", {"0755", "a.txt"}, other), 0);
        // Reached through a link.
        ASSERT_TRUE(QDir(other + "/sub").removeRecursively());
        ASSERT_TRUE(QFile::link(installed + "/sub", other + "/sub"));
        const QString next = home.root() + "/3.0";
        ASSERT_TRUE(stage(next, {other, installed}));
        expectWhole(next);
        for (const char *path : {"sub/b.txt", "tool"})
            EXPECT_NE(inode(next + '/' + path), inode(installed + '/' + path)) << path;
        // The next version in line has a.txt as it should be.
        EXPECT_EQ(inode(next + "/a.txt"), inode(installed + "/a.txt"));
        // The installed files keep what they had.
        EXPECT_EQ(readFile(installed + "/sub/b.txt"), "bEta");
        EXPECT_FALSE(QFileInfo(installed + "/tool").isExecutable());
        EXPECT_TRUE(QFileInfo(other + "/a.txt").isExecutable());
    }
    {
        SCOPED_TRACE("a file at the final name keeps its permissions");
        // Taken only where they are the copy's already: changing them would change the copy.
        const QString fresh = home.root() + "/fresh";
        ASSERT_TRUE(extract(archive, fresh));
        const QString copy = fresh + "/sub/b.txt";
        const QFile::Permissions mode = QFile::permissions(copy) & install::StoredPermissions;
        const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner;
        ASSERT_NE(mode, owner);
        const QString next = home.root() + "/4.0";
        ASSERT_TRUE(writeFile(next + "/sub/b.txt", "an older b"));
        ASSERT_TRUE(QFile::setPermissions(next + "/sub/b.txt", owner));
        ASSERT_TRUE(stage(next, {fresh}));
        EXPECT_EQ(readFile(next + "/sub/b.txt"), "beta");
        EXPECT_EQ(QFile::permissions(next + "/sub/b.txt") & install::StoredPermissions, owner);
        EXPECT_NE(inode(next + "/sub/b.txt"), inode(copy));
        EXPECT_EQ(QFile::permissions(copy) & install::StoredPermissions, mode);
        // With the copy's permissions it is taken, and they stay.
        ASSERT_TRUE(writeFile(next + "/sub/b.txt", "an older b"));
        ASSERT_TRUE(QFile::setPermissions(next + "/sub/b.txt", mode));
        ASSERT_TRUE(stage(next, {fresh}));
        EXPECT_EQ(inode(next + "/sub/b.txt"), inode(copy));
        EXPECT_EQ(QFile::permissions(copy) & install::StoredPermissions, mode);
    }
}

TEST(ExtractArchive, AFolderIsDecodedOnlyAsFarAsItsLastFileWithoutACopy)
{
    // An update changes one file early in a solid folder: the rest of the folder has copies, and
    // its packed bytes, damaged here, are never decoded. Without the copies they must be.
    TempHome home;
    const QString source = home.root() + "/src";
    QByteArray noise(256 * 1024, '\0');
    QRandomGenerator(27).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    ASSERT_TRUE(writeFile(source + "/a.txt", "new a\n"));
    ASSERT_TRUE(writeFile(source + "/b.txt", noise));
    const QString archive = home.root() + "/p.7z";
    ASSERT_TRUE(make7z(source, archive, {"a.txt", "b.txt", "-ms=on", "-mhc=off", "-m0=LZMA2"}));
    ASSERT_EQ(entryNames(archive), QStringList({"a.txt", "b.txt"}));
    const QString installed = home.root() + "/1.0";
    ASSERT_TRUE(extract(archive, installed));
    ASSERT_TRUE(writeFile(installed + "/a.txt", "old a\n"));
    // The middle of the noise, far behind the few packed bytes of a.txt.
    QByteArray damaged = readFile(archive);
    for (int i = 128 * 1024; i < 128 * 1024 + 64; ++i)
        damaged[i] = char(damaged[i] ^ 0x5a);
    ASSERT_TRUE(writeFile(archive, damaged));

    const QString next = home.root() + "/2.0";
    ASSERT_TRUE(stageAndCommit(archive, next, {installed}));
    EXPECT_EQ(readFile(next + "/a.txt"), "new a\n");
    EXPECT_EQ(inode(next + "/b.txt"), inode(installed + "/b.txt"));
    EXPECT_EQ(readFile(installed + "/a.txt"), "old a\n");

    // The copy changed since: the damaged bytes are decoded, and fail their check.
    ASSERT_TRUE(writeFile(installed + "/b.txt", "b changed"));
    const QString again = home.root() + "/3.0";
    EXPECT_FALSE(stageAndCommit(archive, again, {installed}));
    EXPECT_FALSE(QFile::exists(again + "/a.txt"));
    EXPECT_FALSE(QFile::exists(again + "/b.txt"));
}

TEST(ExtractArchive, ReplacesExistingFilesAndStopsAtOneThatCannotBeWritten)
{
    TempHome home;
    const QString source = home.root() + "/src";
    ASSERT_TRUE(writeFile(source + "/a.txt", "new a"));
    ASSERT_TRUE(writeFile(source + "/b.txt", "new b"));
    ASSERT_TRUE(writeFile(source + "/c.txt", "new c"));
    ASSERT_TRUE(make7z(source, home.root() + "/p.7z", {"a.txt", "b.txt", "c.txt"}));
    ASSERT_EQ(entryNames(home.root() + "/p.7z"), QStringList({"a.txt", "b.txt", "c.txt"}));

    const QString out = home.root() + "/out";
    ASSERT_TRUE(writeFile(out + "/a.txt", "an older and much longer a"));
    ASSERT_TRUE(extract(home.root() + "/p.7z", out));
    EXPECT_EQ(readFile(out + "/a.txt"), "new a");

    // A directory where b.txt belongs cannot be opened as a file, by anyone.
    // Nothing takes its final name before every file is there: a failure leaves the
    // destination as it was.
    const QString blocked = home.root() + "/blocked";
    ASSERT_TRUE(QDir().mkpath(blocked + "/b.txt"));
    ASSERT_TRUE(writeFile(blocked + "/a.txt", "old a"));
    EXPECT_FALSE(extract(home.root() + "/p.7z", blocked));
    EXPECT_EQ(listing(blocked), QStringList({"a.txt", "b.txt"}));
    EXPECT_EQ(readFile(blocked + "/a.txt"), "old a");

    // A read-only file does the same for an unprivileged user.
    const QString readOnly = home.root() + "/readonly";
    ASSERT_TRUE(writeFile(readOnly + "/b.txt", "old b"));
    QFile::setPermissions(readOnly + "/b.txt", QFile::ReadOwner | QFile::ReadGroup);
    QFile probe(readOnly + "/b.txt");
    if (probe.open(QIODevice::WriteOnly | QIODevice::Append))
        GTEST_SKIP() << "running with privileges that ignore file permissions";
    EXPECT_FALSE(extract(home.root() + "/p.7z", readOnly));
    EXPECT_EQ(listing(readOnly), QStringList({"b.txt"}));
    EXPECT_EQ(readFile(readOnly + "/b.txt"), "old b");
    // Unless it already holds what the archive has for it: then it is left alone.
    ASSERT_TRUE(QFile::setPermissions(readOnly + "/b.txt", QFile::ReadOwner | QFile::WriteOwner));
    ASSERT_TRUE(writeFile(readOnly + "/b.txt", "new b"));
    QFile::setPermissions(readOnly + "/b.txt", QFile::ReadOwner | QFile::ReadGroup);
    EXPECT_TRUE(extract(home.root() + "/p.7z", readOnly));
    EXPECT_EQ(readFile(readOnly + "/c.txt"), "new c");
}

TEST(ExtractArchive, FileInUseKeepsItsContentForTheProgramThatMapsIt)
{
    // An update extracts over the version the client runs from. A library the client has
    // mapped must not change under it: rewriting it in place crashes the client.
    TempHome home;
    const QByteArray oldLib(8192, 'o');
    const QByteArray newLib(8192, 'n');
    ASSERT_TRUE(writeFile(home.root() + "/src/libclient.so", newLib));
    ASSERT_TRUE(make7z(home.root() + "/src", home.root() + "/p.7z", {"libclient.so"}));
    const QString out = home.root() + "/out";
    ASSERT_TRUE(writeFile(out + "/libclient.so", oldLib));
    ASSERT_TRUE(QFile::setPermissions(out + "/libclient.so",
                                      QFile::permissions(out + "/libclient.so") | QFile::ExeOwner));

    QFile running(out + "/libclient.so");
    ASSERT_TRUE(running.open(QIODevice::ReadOnly));
    const uchar *mapped = running.map(0, oldLib.size());
    ASSERT_NE(mapped, nullptr);

    ASSERT_TRUE(extract(home.root() + "/p.7z", out));
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(mapped), oldLib.size()), oldLib);
    EXPECT_EQ(readFile(out + "/libclient.so"), newLib);
    EXPECT_TRUE(QFile::permissions(out + "/libclient.so") & QFile::ExeOwner);
    EXPECT_EQ(listing(out), QStringList({"libclient.so"}));
}

TEST(ExtractArchive, HostileNamesFailBeforeAnythingIsWritten)
{
    TempHome home;
    const QString work = home.root() + "/work";
    const QString outside = home.root() + "/outside";
    ASSERT_TRUE(writeFile(work + "/good.txt", "good"));
    ASSERT_TRUE(writeFile(work + "/in.txt", "evil"));

    struct Case {
        const char *label;
        QString command; // run in work: adds one hostile entry to evil.7z after good.txt
    };
    const QString absolute = outside + "/abs.txt";
    const QString add = "7zz a -bso0 ";
    const QString rename = add + "evil.7z in.txt && 7zz rn -bso0 evil.7z in.txt ";
    const QList<Case> cases{
        {"parent via -spf", "cd inner && " + add + "-spf ../evil.7z ../in.txt"},
        {"parent via -si", "printf evil | " + add + "-si'../evil.txt' evil.7z"},
        {"deep parent via rn", rename + "'a/../../x/evil.txt'"},
        {"absolute via rn", rename + "'" + absolute + "'"},
        {"backslash parent", "printf evil | " + add + "-si'..\\win\\evil.txt' evil.7z"},
        {"drive letter", "printf evil | " + add + "-si'C:\\evil.txt' evil.7z"},
        {"relative drive", "printf evil | " + add + "-si'C:evil.txt' evil.7z"},
        // Names Windows maps elsewhere: a stream of good.txt, devices, a name cut short.
        {"data stream", "printf evil | " + add + "-si'good.txt:hidden' evil.7z"},
        {"device", "printf evil | " + add + "-si'NUL' evil.7z"},
        {"device with extension", "printf evil | " + add + "-si'sub/nul.txt' evil.7z"},
        {"device in any case", "printf evil | " + add + "-si'Com1.log' evil.7z"},
        {"printer port", "printf evil | " + add + "-si'lpt9' evil.7z"},
        {"device with blank", "printf evil | " + add + "-si'aux .dat' evil.7z"},
        {"device directory", "printf evil | " + add + "-si'con/evil.txt' evil.7z"},
        {"trailing dot", "printf evil | " + add + "-si'good.txt.' evil.7z"},
        {"trailing blank", "printf evil | " + add + "-si'dir /evil.txt' evil.7z"},
        {"invalid character", "printf evil | " + add + "-si'what?.txt' evil.7z"},
        // Names that share a file with another entry: the side file good.txt is written to
        // before its rename, and good.txt itself where letter case does not count.
        {"side file of another entry", "printf evil | " + add + "-si'good.txt.korvel-new' evil.7z"},
        {"another entry in another case", "printf evil | " + add + "-si'GOOD.txt' evil.7z"},
    };
    ASSERT_TRUE(QDir().mkpath(work + "/inner"));
    for (const Case &c : cases) {
        QFile::remove(work + "/evil.7z");
        // The good file comes first, so a reader that checked names late would write it.
        ASSERT_TRUE(make7z(work, "evil.7z", {"good.txt"}));
        ASSERT_EQ(runTool("sh", {"-c", c.command}, work), 0) << c.label;
        const QStringList names = entryNames(work + "/evil.7z");
        ASSERT_EQ(names.size(), 2) << c.label << " " << qPrintable(names.join(','));
        ASSERT_EQ(names.first(), "good.txt") << c.label;

        const QString out = home.root() + "/deep/dest";
        ASSERT_TRUE(QDir().mkpath(out));
        EXPECT_FALSE(extract(work + "/evil.7z", out)) << c.label << " " << qPrintable(names.join(','));
        EXPECT_TRUE(listing(out).isEmpty()) << c.label << " " << qPrintable(listing(out).join(','));
        EXPECT_EQ(listing(home.root() + "/deep"), QStringList{"dest"}) << c.label;
        EXPECT_FALSE(QFile::exists(absolute)) << c.label;
        EXPECT_FALSE(QFile::exists(home.root() + "/x/evil.txt")) << c.label;
    }

    // ".." that stays inside is an ordinary path.
    QFile::remove(work + "/evil.7z");
    ASSERT_EQ(runTool("sh", {"-c", "printf fine | 7zz a -bso0 -si'a/../b/./fine.txt' ok.7z"}, work), 0);
    ASSERT_TRUE(extract(work + "/ok.7z", home.root() + "/ok"));
    EXPECT_EQ(readFile(home.root() + "/ok/b/fine.txt"), "fine");
    // So are names that only look like devices, and dots inside a name.
    ASSERT_EQ(runTool("sh",
                      {"-c",
                       "printf a | 7zz a -bso0 -si'com10.txt' near.7z && "
                       "printf b | 7zz a -bso0 -si'console/nul_notes.txt' near.7z && "
                       "printf c | 7zz a -bso0 -si'.hidden/a..b' near.7z"},
                      work),
              0);
    ASSERT_TRUE(extract(work + "/near.7z", home.root() + "/near"));
    EXPECT_EQ(readFile(home.root() + "/near/com10.txt"), "a");
    EXPECT_EQ(readFile(home.root() + "/near/console/nul_notes.txt"), "b");
    EXPECT_EQ(readFile(home.root() + "/near/.hidden/a..b"), "c");
}

TEST(ExtractArchive, SymbolicLinksBecomePlainFiles)
{
    TempHome home;
    const QString source = home.root() + "/src";
    const QString secret = home.root() + "/secret.txt";
    ASSERT_TRUE(writeFile(secret, "secret"));
    ASSERT_TRUE(QDir().mkpath(source));
    ASSERT_TRUE(QFile::link(secret, source + "/link"));
    ASSERT_TRUE(QFile::link("..", source + "/up"));
    ASSERT_TRUE(make7z(source, home.root() + "/links.7z", {"link", "up", "-snl"}));

    QFile file(home.root() + "/links.7z");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    {
        ArchiveReader reader(&file);
        ASSERT_EQ(reader.numEntries(), 2u);
        EXPECT_TRUE(reader.isSymbolicLink(0));
        EXPECT_TRUE(reader.isSymbolicLink(1));
    }

    const QString out = home.root() + "/out";
    ASSERT_TRUE(extract(home.root() + "/links.7z", out));
    EXPECT_FALSE(QFileInfo(out + "/link").isSymLink());
    EXPECT_EQ(readFile(out + "/link"), secret.toUtf8());
    EXPECT_FALSE(QFileInfo(out + "/up").isSymLink());
    EXPECT_EQ(readFile(secret), "secret");

    // A link already standing in the destination is replaced, not written through.
    const QString target = home.root() + "/target.txt";
    ASSERT_TRUE(writeFile(target, "untouched"));
    QFile::remove(out + "/link");
    ASSERT_TRUE(QFile::link(target, out + "/link"));
    ASSERT_TRUE(extract(home.root() + "/links.7z", out));
    EXPECT_EQ(readFile(target), "untouched");
    EXPECT_FALSE(QFileInfo(out + "/link").isSymLink());
}

TEST(ExtractArchive, ExecutableFilesStayExecutableButNoOtherStoredModeBitIsTaken)
{
    TempHome home;
    const QString source = home.root() + "/src";
    ASSERT_TRUE(writeFile(source + "/Korvel.exe", "#!/bin/sh\n"));
    ASSERT_TRUE(writeFile(source + "/bin/helper", "#!/bin/sh\n"));
    ASSERT_TRUE(writeFile(source + "/readme.txt", "text"));
    ASSERT_TRUE(writeFile(source + "/shared.txt", "anyone may write"));
    ASSERT_TRUE(writeFile(source + "/setid", "#!/bin/sh\n"));
    ASSERT_TRUE(writeFile(source + "/mine", "#!/bin/sh\n"));
    // chmod rather than QFile: the set-id bits have no QFile permission.
    ASSERT_EQ(runTool("chmod", {"0755", "Korvel.exe", "bin/helper"}, source), 0);
    ASSERT_EQ(runTool("chmod", {"0644", "readme.txt"}, source), 0);
    ASSERT_EQ(runTool("chmod", {"0666", "shared.txt"}, source), 0);
    ASSERT_EQ(runTool("chmod", {"6755", "setid"}, source), 0);
    ASSERT_EQ(runTool("chmod", {"0744", "mine"}, source), 0);
    ASSERT_TRUE(make7z(source, home.root() + "/p.7z",
                       {"Korvel.exe", "bin", "readme.txt", "shared.txt", "setid", "mine"}));

    const QString out = home.root() + "/out";
    ASSERT_TRUE(extract(home.root() + "/p.7z", out));
    EXPECT_TRUE(QFileInfo(out + "/Korvel.exe").isExecutable());
    EXPECT_TRUE(QFileInfo(out + "/bin/helper").isExecutable());
    EXPECT_FALSE(QFileInfo(out + "/readme.txt").isExecutable());
    EXPECT_FALSE(QFile::permissions(out + "/shared.txt") & QFile::WriteOther);
    EXPECT_TRUE(QFileInfo(out + "/setid").isExecutable());
    QByteArray mode;
    ASSERT_EQ(runTool("stat", {"-c", "%a", "setid"}, out, {}, &mode), 0);
    EXPECT_EQ(mode.trimmed().size(), 3) << "set-id bits came from the archive: " << mode.constData();
    // Execute permission goes to exactly whom the archive gave it.
    const QFile::Permissions mine = QFile::permissions(out + "/mine");
    EXPECT_TRUE(mine & QFile::ExeOwner);
    EXPECT_FALSE(mine & (QFile::ExeGroup | QFile::ExeOther));

    // An executable that replaces a plain file of the same name becomes executable too.
    ASSERT_TRUE(writeFile(home.root() + "/again/Korvel.exe", "old plain file"));
    ASSERT_TRUE(extract(home.root() + "/p.7z", home.root() + "/again"));
    EXPECT_TRUE(QFileInfo(home.root() + "/again/Korvel.exe").isExecutable());
}
