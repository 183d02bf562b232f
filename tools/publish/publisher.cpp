#include "publisher.h"
#include "patch_plan.h"
#include "signing.h"

#include "base/product.h"
#include "engine/server_layout.h"
#include "install/archive_reader.h"
#include "install/commit.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cstdio>

namespace {

const char kLauncher[] = KORVEL_PROGRAM_FILE_NAME;
// The publisher's own notes in the tree, never read by clients.
const char kPackedInputs[] = ".korvel-publish/packed-inputs";
// Where packages are packed and checked before any of them is published.
const char kStagingTemplate[] = ".korvel-publish/staging-XXXXXX";
// Clients refuse a file of this size or more (the archive format they read addresses it with
// 32 bits).
constexpr qint64 kMaxFileSize = qint64(1) << 32;

// Fixed switches keep the packages reproducible: no stored times, one thread (LZMA2's block
// split depends on the thread count), the same method everywhere. Names are taken literally
// (a file may be called "*"), and a file that cannot be read stops the packing instead of
// being left out with a warning. The files are named one by one, in sorted order, so an
// archive depends on nothing but the names, contents and modes of its files.
const QStringList kSevenZipSwitches{"-t7z",     "-m0=LZMA2", "-mx=7", "-mmt=1", "-mtm=off", "-mtc=off",
                                    "-mta=off", "-spd",      "-sse",  "-bd",    "-bso0",    "-bsp0"};

// A piece of a package that is cut holds at most the request's package size (a larger single
// file travels alone), so that a change costs the download of its own neighbourhood only.
// Below a sixteenth of it a piece is never cut; beyond that the cut points depend on the files
// themselves (see cutsAfter), a piece growing by three sixteenths on average, so they stay
// where they are when a few files change.
struct PieceSizes {
    explicit PieceSizes(qint64 max) : max(max), min(max / 16), meanExtra(max * 3 / 16) {}
    qint64 max;
    qint64 min;
    qint64 meanExtra;
};

void fail(const QString &message)
{
    fprintf(stderr, "korvel-publish: %s\n", qPrintable(message));
}

// The tree is laid out as the servers are (engine/server_layout.h): a path of that layout, which
// starts with "/", relative to the tree.
QString inTree(const QString &urlPath)
{
    return urlPath.mid(1);
}

QString catalogueFile(const QDir &tree)
{
    return tree.absoluteFilePath(inTree(server_layout::cataloguePath()));
}

// Where the two mirrors serve a package, relative to the tree.
QString componentPath(const QString &name, const QString &no)
{
    return inTree(server_layout::componentPackagePath(name, no));
}

QString mirrorPath(const QString &name, const QString &no)
{
    return inTree(server_layout::mirrorPackagePath(name, no));
}

// Names that become directory names on the server and in the clients' stores.
bool isPlainName(const QString &name)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9._-]*$"));
    return plain.match(name).hasMatch();
}

QString packageNameFor(const QString &entry)
{
    QString name = entry;
    for (QChar &c : name) {
        if (!(c.unicode() < 128 && (c.isLetterOrNumber() || c == '.' || c == '-' || c == '_')))
            c = QLatin1Char('_');
    }
    if (name.startsWith(QLatin1Char('.')) || name.startsWith(QLatin1Char('-')))
        name.prepend(QLatin1Char('_'));
    return name;
}

// A name the publisher picks itself: never a reserved one, never one already taken.
QString freeName(QString name, const QSet<QString> &taken)
{
    while (server_layout::isReservedName(name) || taken.contains(name))
        name.append(QLatin1Char('_'));
    return name;
}

struct Package {
    QString name;
    QStringList paths; // relative to the source, sorted
    QByteArray md5Hex;
    QByteArray sha256Hex; // with size: what a client with release keys checks besides the MD5
    qint64 size = -1;
    // Where the package's bytes are published: this version's, or an earlier version's when
    // that one published the very same bytes.
    QString version;
    QString no;
    // The packed file waiting to be published; empty when its bytes are published already.
    QString staged;
};

// One package per top-level entry, unless the packages file groups paths; top-level entries
// the file does not mention keep a package of their own.
bool planPackages(const PublishRequest &request, QList<Package> *packages)
{
    const QDir source(request.sourceDir);
    QMap<QString, QStringList> groups;
    QSet<QString> claimed;
    if (!request.packagesFile.isEmpty()) {
        QFile file(request.packagesFile);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            fail(QStringLiteral("cannot read %1").arg(request.packagesFile));
            return false;
        }
        while (!file.atEnd()) {
            QString line = QString::fromUtf8(file.readLine());
            line = line.left(line.indexOf(QLatin1Char('#'))).trimmed();
            if (line.isEmpty())
                continue;
            QStringList words = line.split(QRegularExpression(QStringLiteral("\\s+")));
            const QString name = words.takeFirst();
            if (words.isEmpty()) {
                fail(QStringLiteral("package %1 lists no paths").arg(name));
                return false;
            }
            for (const QString &path : words) {
                // Whole top-level entries only, so nothing in the source can be left out.
                const QString clean = QDir::cleanPath(path);
                if (clean.contains(QLatin1Char('/')) || clean.startsWith(QLatin1Char('.'))
                    || !QFileInfo::exists(source.filePath(clean))) {
                    fail(QStringLiteral("package %1: %2 is not a top-level entry of the source")
                             .arg(name, path));
                    return false;
                }
                groups[name].append(clean);
                claimed.insert(clean);
            }
        }
    }
    const QStringList top =
        source.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        if (!isPlainName(it.key()) || server_layout::isReservedName(it.key())) {
            fail(QStringLiteral("unusable package name %1").arg(it.key()));
            return false;
        }
    }
    QSet<QString> named;
    for (const QString &entry : top) {
        if (!claimed.contains(entry))
            named.insert(packageNameFor(entry));
    }
    for (const QString &entry : top) {
        if (claimed.contains(entry))
            continue;
        const QString wanted = packageNameFor(entry);
        if (groups.contains(wanted)) {
            fail(QStringLiteral("two packages would be named %1").arg(wanted));
            return false;
        }
        // A top-level "bin" (most releases have one) gets a name of its own that no other
        // entry of the release would have.
        QSet<QString> taken = named;
        for (auto group = groups.cbegin(); group != groups.cend(); ++group)
            taken.insert(group.key());
        const QString name = server_layout::isReservedName(wanted) ? freeName(wanted, taken) : wanted;
        groups[name].append(entry);
    }
    for (auto it = groups.begin(); it != groups.end(); ++it) {
        it.value().sort();
        it.value().removeDuplicates();
        packages->append(Package{it.key(), it.value(), {}, {}, -1, {}, {}, {}});
    }
    return true;
}

struct SourceFile {
    QString path; // relative to the source
    qint64 size;
};

// The files below the given top-level entries, and the directories that hold nothing (they
// would be lost otherwise), in sorted order.
QList<SourceFile> filesOf(const QDir &relativeSource, const QStringList &entries)
{
    const QDir source(relativeSource.absolutePath());
    QList<SourceFile> files;
    for (const QString &entry : entries) {
        const QFileInfo top(source.filePath(entry));
        if (!top.isDir()) {
            files.append(SourceFile{entry, top.size()});
            continue;
        }
        QDirIterator it(top.filePath(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        bool empty = true;
        while (it.hasNext()) {
            it.next();
            empty = false;
            const QFileInfo info = it.fileInfo();
            if (!info.isDir())
                files.append(SourceFile{source.relativeFilePath(info.filePath()), info.size()});
            else if (QDir(info.filePath())
                         .isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
                files.append(SourceFile{source.relativeFilePath(info.filePath()), 0});
        }
        if (empty)
            files.append(SourceFile{entry, 0});
    }
    std::sort(files.begin(), files.end(),
              [](const SourceFile &a, const SourceFile &b) { return a.path < b.path; });
    return files;
}

// Whether a package may end after this file. The choice is the file's own (its path and its
// size), with a chance proportional to its size, so packages hold about the same number of
// bytes whatever their files' sizes, and a changed file moves no cut point but, rarely, its
// own. A stable digest, not qHash: the cut points must be the same at every run.
bool cutsAfter(const SourceFile &file, const PieceSizes &sizes)
{
    const QByteArray digest = QCryptographicHash::hash(file.path.toUtf8(), QCryptographicHash::Md5);
    const quint32 draw = (quint32(quint8(digest[0])) << 24) | (quint32(quint8(digest[1])) << 16)
        | (quint32(quint8(digest[2])) << 8) | quint32(quint8(digest[3]));
    return double(draw) < double(file.size) / double(sizes.meanExtra) * 4294967296.0;
}

// Cuts a package that would exceed the maximum into pieces of bounded size along its sorted
// file list; a package below it (or one that is a single file) stays whole under its own name. Pieces are
// named after the package and their place ("src-001"); a name the release already uses is never taken.
QList<Package> splitPackage(const QDir &source, const Package &whole, const PieceSizes &sizes,
                            QSet<QString> *taken)
{
    const QList<SourceFile> files = filesOf(source, whole.paths);
    qint64 total = 0;
    for (const SourceFile &file : files)
        total += file.size;
    if (total <= sizes.max)
        return {whole};
    QList<QStringList> pieces{QStringList()};
    qint64 filled = 0;
    for (const SourceFile &file : files) {
        if (filled > 0 && filled + file.size > sizes.max) {
            pieces.append(QStringList());
            filled = 0;
        }
        pieces.last().append(file.path);
        filled += file.size;
        if (filled >= sizes.min && cutsAfter(file, sizes)) {
            pieces.append(QStringList());
            filled = 0;
        }
    }
    if (pieces.last().isEmpty())
        pieces.removeLast();
    if (pieces.size() == 1) // one large file
        return {whole};
    QList<Package> packages;
    for (int i = 0; i < pieces.size(); ++i) {
        const QString name =
            freeName(QStringLiteral("%1-%2").arg(whole.name).arg(i + 1, 3, 10, QLatin1Char('0')), *taken);
        taken->insert(name);
        packages.append(Package{name, pieces.at(i), {}, {}, -1, {}, {}, {}});
    }
    return packages;
}

// Every package over the maximum size becomes its pieces, in place.
void splitLargePackages(const QDir &source, qint64 packageSize, QList<Package> *packages)
{
    QSet<QString> taken;
    for (const Package &package : *packages)
        taken.insert(package.name);
    QList<Package> split;
    for (const Package &package : *packages)
        split += splitPackage(source, package, PieceSizes(packageSize), &taken);
    *packages = split;
}

// Refuses, before anything is packed, a release that clients would refuse to install: a file
// of 4 GiB or more, two paths that are one file where letter case does not count (Windows), or
// a path that the clients' commit keeps for itself in a version directory.
bool checkSourceFiles(const QDir &source, const QList<Package> &packages)
{
    QStringList reserved;
    for (const QString &path : install::versionDirectoryFiles())
        reserved.append(path.toCaseFolded());
    QHash<QString, QString> spelt;
    for (const Package &package : packages) {
        for (const SourceFile &file : filesOf(source, package.paths)) {
            if (file.size >= kMaxFileSize) {
                fail(QStringLiteral("%1 is 4 GiB or more; clients cannot unpack it").arg(file.path));
                return false;
            }
            const QString folded = file.path.toCaseFolded();
            for (const QString &kept : qAsConst(reserved)) {
                if (folded == kept || folded.startsWith(kept + QLatin1Char('/'))) {
                    fail(QStringLiteral("%1 is a name clients keep for their own file").arg(file.path));
                    return false;
                }
            }
            const QString other = spelt.value(folded);
            if (!other.isEmpty() && other != file.path) {
                fail(QStringLiteral("%1 and %2 are one file where letter case does not count")
                         .arg(other, file.path));
                return false;
            }
            spelt.insert(folded, file.path);
        }
    }
    return true;
}

bool makeArchive(const QString &sourceDir, const QStringList &paths, const QString &archive)
{
    // 7zz adds to an existing archive; always start from nothing.
    QFile::remove(archive);
    QProcess sevenZip;
    sevenZip.setWorkingDirectory(sourceDir);
    sevenZip.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sevenZip.setStandardOutputFile(QProcess::nullDevice());
    QStringList args{QStringLiteral("a")};
    args += kSevenZipSwitches;
    args += archive;
    args += QStringLiteral("--");
    args += paths;
    sevenZip.start(QStringLiteral("7zz"), args);
    if (!sevenZip.waitForStarted()) {
        fail(QStringLiteral("cannot run 7zz"));
        return false;
    }
    sevenZip.waitForFinished(-1);
    if (sevenZip.exitStatus() != QProcess::NormalExit || sevenZip.exitCode() != 0) {
        const QString what = paths.size() <= 3
            ? paths.join(QLatin1Char(' '))
            : QStringLiteral("%1 and %2 more").arg(paths.first()).arg(paths.size() - 1);
        fail(QStringLiteral("7zz failed on %1").arg(what));
        return false;
    }
    return true;
}

QByteArray md5Hex(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
    return hash.result().toHex();
}

bool sha256Hex(const QString &path, QByteArray *hex, qint64 *size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    *hex = hash.result().toHex();
    *size = file.size();
    return true;
}

bool writeAtomically(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        fail(QStringLiteral("cannot write %1").arg(path));
        return false;
    }
    return true;
}

bool copyAtomically(const QString &from, const QString &to)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read %1").arg(from));
        return false;
    }
    return writeAtomically(to, in.readAll());
}

QByteArray manifestXml(const PublishRequest &request, const QList<Package> &packages,
                       const QList<PlannedPatch> &patches)
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("Manifest"));
    writer.writeAttribute(QStringLiteral("version"), request.version);
    for (const Package &package : packages) {
        writer.writeEmptyElement(QStringLiteral("Package"));
        writer.writeAttribute(QStringLiteral("name"), package.name);
        // `version` names the file in the clients' package store, `no` the mirrors' path.
        writer.writeAttribute(QStringLiteral("version"), package.version);
        writer.writeAttribute(QStringLiteral("no"), package.no);
        writer.writeAttribute(QStringLiteral("hash"), QString::fromLatin1(package.md5Hex));
        writer.writeAttribute(QStringLiteral("sha256"), QString::fromLatin1(package.sha256Hex));
        writer.writeAttribute(QStringLiteral("size"), QString::number(package.size));
    }
    writePatchElements(&writer, patches);
    writer.writeEmptyElement(QStringLiteral("Entry"));
    writer.writeAttribute(QStringLiteral("file"), request.entryFile);
    writer.writeAttribute(QStringLiteral("function"), request.entryFunction);
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

struct Listed {
    QString version;
    bool prefetch;
    // What a signed catalogue says of the version's manifest, so that no other manifest of
    // the version, however well signed, is taken for it.
    QByteArray manifestSha256Hex;
    qint64 manifestSize = -1;
};

// The versions the catalogue lists now, in order; a missing catalogue lists none.
bool readCatalogue(const QString &path, QList<Listed> *versions)
{
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read %1").arg(path));
        return false;
    }
    QXmlStreamReader reader(&file);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement || reader.name() != QLatin1String("Version"))
            continue;
        const QString version = reader.attributes().value(QLatin1String("version")).toString();
        if (!version.isEmpty())
            versions->append(
                Listed{version,
                       reader.attributes().value(QLatin1String("prefetch")) == QLatin1String("true"),
                       {},
                       -1});
    }
    if (reader.hasError()) {
        fail(QStringLiteral("%1 is not well-formed: %2").arg(path, reader.errorString()));
        return false;
    }
    return true;
}

QByteArray catalogueXml(const QList<Listed> &versions)
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("Versions"));
    for (const Listed &listed : versions) {
        writer.writeEmptyElement(QStringLiteral("Version"));
        writer.writeAttribute(QStringLiteral("version"), listed.version);
        if (listed.prefetch)
            writer.writeAttribute(QStringLiteral("prefetch"), QStringLiteral("true"));
        if (!listed.manifestSha256Hex.isEmpty()) {
            writer.writeAttribute(QStringLiteral("manifestSha256"),
                                  QString::fromLatin1(listed.manifestSha256Hex));
            writer.writeAttribute(QStringLiteral("manifestSize"), QString::number(listed.manifestSize));
        }
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

// The packages the manifests already in the tree list, by their bytes' digest.
class PublishedPackages {
public:
    struct Record {
        QString name;
        QString version;
        QString no;
    };

    // Reads every manifest in the tree, those of the listed versions first (newest first), so
    // that a package is reused under the name most clients hold it as.
    bool read(const QDir &tree, const QList<Listed> &listed)
    {
        const QDir manifests(tree.filePath(inTree(server_layout::manifestDir())));
        QStringList versions;
        for (const Listed &entry : listed)
            versions.append(entry.version);
        for (const QString &file : manifests.entryList({QStringLiteral("*.xml")}, QDir::Files, QDir::Name)) {
            const QString version = file.chopped(4);
            if (!versions.contains(version))
                versions.append(version);
        }
        for (const QString &version : versions) {
            QFile file(manifests.filePath(version + QStringLiteral(".xml")));
            if (!file.exists())
                continue;
            if (!file.open(QIODevice::ReadOnly)) {
                fail(QStringLiteral("cannot read %1").arg(file.fileName()));
                return false;
            }
            QXmlStreamReader reader(&file);
            while (!reader.atEnd()) {
                if (reader.readNext() != QXmlStreamReader::StartElement
                    || reader.name() != QLatin1String("Package"))
                    continue;
                const QXmlStreamAttributes a = reader.attributes();
                const Record record{a.value(QLatin1String("name")).toString(),
                                    a.value(QLatin1String("version")).toString(),
                                    a.value(QLatin1String("no")).toString()};
                const QByteArray hash = a.value(QLatin1String("hash")).toLatin1().toLower();
                if (!isPlainName(record.name) || !isPlainName(record.version) || !isPlainName(record.no)
                    || hash.isEmpty())
                    continue;
                m_byHash[hash].append(record);
            }
        }
        return true;
    }

    // A published package whose file on the first mirror holds exactly the bytes of md5Hex.
    bool find(const QDir &tree, const QByteArray &md5Hex, Record *found)
    {
        for (const Record &record : m_byHash.value(md5Hex)) {
            if (digestOf(tree.absoluteFilePath(componentPath(record.name, record.no))) == md5Hex) {
                *found = record;
                return true;
            }
        }
        return false;
    }

private:
    QByteArray digestOf(const QString &path)
    {
        auto cached = m_digests.constFind(path);
        if (cached == m_digests.cend())
            cached = m_digests.insert(path, md5Hex(path));
        return *cached;
    }

    QHash<QByteArray, QList<Record>> m_byHash;
    QHash<QString, QByteArray> m_digests;
};

// Which archive bytes which inputs gave, kept in the tree: packing is by far the slowest part
// of a publication, and a package whose files (names, modes, contents), switches and 7zz are
// those of one packed before would come out byte for byte the same.
class PackedInputs {
public:
    void read(const QDir &tree)
    {
        QFile file(tree.filePath(QLatin1String(kPackedInputs)));
        if (!file.open(QIODevice::ReadOnly))
            return;
        while (!file.atEnd()) {
            const QList<QByteArray> words = file.readLine().trimmed().split(' ');
            if (words.size() == 2)
                m_digests.insert(words.at(0), words.at(1));
        }
    }

    bool write(const QDir &tree) const
    {
        QByteArray text;
        for (auto it = m_digests.cbegin(); it != m_digests.cend(); ++it)
            text += it.key() + ' ' + it.value() + '\n';
        return writeAtomically(tree.filePath(QLatin1String(kPackedInputs)), text);
    }

    QByteArray packedAs(const QByteArray &inputs) const { return m_digests.value(inputs); }
    void remember(const QByteArray &inputs, const QByteArray &md5Hex) { m_digests.insert(inputs, md5Hex); }

    // The digest of everything that decides a package's bytes; empty when a file cannot be read.
    static QByteArray inputsOf(const QDir &source, const QStringList &paths)
    {
        QCryptographicHash inputs(QCryptographicHash::Md5);
        inputs.addData(sevenZipBanner());
        inputs.addData(kSevenZipSwitches.join(QLatin1Char(' ')).toUtf8());
        // Whole entries bring their directories too, with their modes.
        QList<SourceFile> items = filesOf(source, paths);
        for (const QString &path : paths) {
            QDirIterator it(source.filePath(path), QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                items.append(SourceFile{QDir(source.absolutePath()).relativeFilePath(it.next()), -1});
        }
        std::sort(items.begin(), items.end(),
                  [](const SourceFile &a, const SourceFile &b) { return a.path < b.path; });
        for (const SourceFile &item : items) {
            const QFileInfo info(source.filePath(item.path));
            inputs.addData(item.path.toUtf8() + '\0');
            inputs.addData(QByteArray::number(int(info.permissions())) + (info.isDir() ? "d" : "f")
                           + (info.isSymLink() ? "l" : "") + '\0');
            if (info.isDir())
                continue;
            QFile file(info.filePath());
            if (!file.open(QIODevice::ReadOnly))
                return {};
            QCryptographicHash content(QCryptographicHash::Md5);
            content.addData(&file);
            inputs.addData(QByteArray::number(info.size()) + ' ' + content.result() + '\0');
        }
        return inputs.result().toHex();
    }

private:
    static QByteArray sevenZipBanner()
    {
        static const QByteArray banner = [] {
            QProcess sevenZip;
            sevenZip.start(QStringLiteral("7zz"), {QStringLiteral("i")});
            sevenZip.waitForFinished(-1);
            for (const QByteArray &line : sevenZip.readAllStandardOutput().split('\n')) {
                if (line.startsWith("7-Zip"))
                    return line;
            }
            return QByteArray();
        }();
        return banner;
    }

    QMap<QByteArray, QByteArray> m_digests;
};

// Lists a package as the published one its inputs gave before, without packing it again.
bool reusePacked(const QDir &tree, const PackedInputs &packed, const QByteArray &inputs,
                 PublishedPackages *published, Package *package)
{
    const QByteArray md5 = inputs.isEmpty() ? QByteArray() : packed.packedAs(inputs);
    PublishedPackages::Record earlier;
    if (md5.isEmpty() || !published->find(tree, md5, &earlier)
        || !QFileInfo::exists(tree.absoluteFilePath(mirrorPath(earlier.name, earlier.no)))
        || !sha256Hex(tree.absoluteFilePath(componentPath(earlier.name, earlier.no)), &package->sha256Hex,
                      &package->size))
        return false;
    package->md5Hex = md5;
    package->name = earlier.name;
    package->version = earlier.version;
    package->no = earlier.no;
    return true;
}

// Copies the file or directory tree from to the path to (which must not exist yet).
bool copyEntry(const QString &from, const QString &to)
{
    if (!QDir().mkpath(QFileInfo(to).absolutePath()))
        return false;
    if (!QFileInfo(from).isDir())
        return QFile::copy(from, to);
    if (!QDir().mkpath(to))
        return false;
    QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(from);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString copy = to + QLatin1Char('/') + base.relativeFilePath(path);
        if (it.fileInfo().isDir() ? !QDir().mkpath(copy) : !QFile::copy(path, copy))
            return false;
    }
    return true;
}

// Signs the launcher with Authenticode: the PE file's own signature, which the system shows
// when the downloaded program is started and which SmartScreen weighs. The signing time comes
// from the clock, so a signed launcher is not byte-for-byte reproducible.
bool signLauncher(const PublishRequest &request, const QString &input, const QString &output)
{
    QProcess signer;
    signer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    signer.setStandardOutputFile(QProcess::nullDevice());
    signer.start(QStringLiteral("osslsigncode"),
                 {QStringLiteral("sign"), QStringLiteral("-certs"), request.authenticodeCertificate,
                  QStringLiteral("-key"), request.authenticodeKey, QStringLiteral("-n"),
                  QStringLiteral(KORVEL_PRODUCT_NAME), QStringLiteral("-h"), QStringLiteral("sha256"),
                  QStringLiteral("-in"), input, QStringLiteral("-out"), output});
    if (!signer.waitForStarted()) {
        fail(QStringLiteral("cannot run osslsigncode"));
        return false;
    }
    signer.waitForFinished(-1);
    if (signer.exitStatus() != QProcess::NormalExit || signer.exitCode() != 0
        || !QFileInfo(output).isFile()) {
        fail(QStringLiteral("osslsigncode could not sign %1").arg(input));
        return false;
    }
    return true;
}

// The package's paths laid out in staging as in the source, with the launcher signed.
bool stageSignedPackage(const PublishRequest &request, const QDir &source, const QStringList &paths,
                        const QString &staging)
{
    for (const QString &path : paths) {
        const QString to = staging + QLatin1Char('/') + path;
        if (path == QLatin1String(kLauncher)) {
            if (!signLauncher(request, source.filePath(path), to))
                return false;
        } else if (!copyEntry(source.filePath(path), to)) {
            fail(QStringLiteral("cannot copy %1 for signing").arg(path));
            return false;
        }
    }
    return true;
}

// Whether path is free for the bytes of digest (an MD5 in hex): no file there, or one with
// those very bytes.
bool isFreeFor(const QString &path, const QByteArray &digest)
{
    return !QFileInfo::exists(path) || md5Hex(path) == digest;
}

// Where new bytes of the package name go: the version's own URL, unless other bytes are
// published there already (the version is published again with changes): then a URL named
// after the new bytes. A published URL never changes its bytes, so whatever lists it (another
// version's manifest, a client halfway through an install, a cache) stays right. Empty when no
// URL is free.
QString freeNo(const QDir &tree, const QString &name, const QString &version, const QByteArray &digest)
{
    for (const int digits : {0, 8, 16, 32}) {
        const QString no =
            digits == 0 ? version : version + QLatin1Char('-') + QString::fromLatin1(digest.left(digits));
        if (isFreeFor(tree.absoluteFilePath(componentPath(name, no)), digest)
            && isFreeFor(tree.absoluteFilePath(mirrorPath(name, no)), digest))
            return no;
    }
    return {};
}

// Packs one package into staging and checks it as its clients will, or, when an earlier
// version published the same bytes, lists it as that version's package: clients then find it
// in their store. Changes nothing in the tree.
bool packPackage(const PublishRequest &request, const QDir &source, const QDir &tree, const QString &version,
                 const QString &staging, PublishedPackages *published, Package *package)
{
    const QString packed = staging + QLatin1Char('/') + package->name + QStringLiteral(".7z");
    // The package with the launcher is packed from a signed copy of its entries.
    QTemporaryDir signedCopy;
    QString packedFrom = source.absolutePath();
    if (!request.authenticodeCertificate.isEmpty() && package->paths.contains(QLatin1String(kLauncher))) {
        if (!signedCopy.isValid() || !stageSignedPackage(request, source, package->paths, signedCopy.path()))
            return false;
        packedFrom = signedCopy.path();
    }
    if (!makeArchive(packedFrom, package->paths, packed))
        return false;
    QFile archive(packed);
    if (!archive.open(QIODevice::ReadOnly) || !checkArchive(&archive, install::versionDirectoryFiles())) {
        fail(QStringLiteral("clients would refuse package %1: a name or size they cannot unpack")
                 .arg(package->name));
        return false;
    }
    archive.close();
    package->md5Hex = md5Hex(packed);
    if (package->md5Hex.isEmpty() || !sha256Hex(packed, &package->sha256Hex, &package->size)) {
        fail(QStringLiteral("cannot read %1").arg(packed));
        return false;
    }
    PublishedPackages::Record earlier;
    if (published->find(tree, package->md5Hex, &earlier)) {
        QFile::remove(packed);
        package->name = earlier.name;
        package->version = earlier.version;
        package->no = earlier.no;
        return true;
    }
    const QString no = freeNo(tree, package->name, version, package->md5Hex);
    if (no.isEmpty()) {
        fail(QStringLiteral("no free place for package %1 of %2").arg(package->name, version));
        return false;
    }
    package->version = no;
    package->no = no;
    package->staged = packed;
    return true;
}

// Puts a package on both mirrors where it is missing: the packed file moves to the first, and
// the second gets a copy. Never replaces a published file.
bool placePackage(const QDir &tree, const Package &package)
{
    const QString component = tree.absoluteFilePath(componentPath(package.name, package.no));
    const QString mirror = tree.absoluteFilePath(mirrorPath(package.name, package.no));
    if (!package.staged.isEmpty() && !QFileInfo::exists(component)
        && (!QDir().mkpath(QFileInfo(component).absolutePath())
            || !QFile::rename(package.staged, component))) {
        fail(QStringLiteral("cannot place package %1").arg(package.name));
        return false;
    }
    return QFileInfo::exists(mirror) || copyAtomically(component, mirror);
}

// The packages a patch could stand in for: those that hold one file alone, as it is in the
// source (a launcher signed on the way into its package is not).
QList<PatchTarget> patchTargets(const PublishRequest &request, const QDir &source,
                                const QList<Package> &packages)
{
    QList<PatchTarget> targets;
    for (const Package &package : packages) {
        const QList<SourceFile> files = filesOf(source, package.paths);
        if (files.size() != 1 || !QFileInfo(source.filePath(files.first().path)).isFile()
            || (!request.authenticodeCertificate.isEmpty()
                && package.paths.contains(QLatin1String(kLauncher))))
            continue;
        targets.append(PatchTarget{package.name, package.no, files.first().path,
                                   source.absoluteFilePath(files.first().path), package.size});
    }
    return targets;
}

// The versions patches start from: the last `depth` the catalogue lists besides this one.
QStringList patchedVersions(const QList<Listed> &listed, const QString &version, int depth)
{
    QStringList versions;
    for (const Listed &entry : listed) {
        if (versions.size() < depth && entry.version != version)
            versions.append(entry.version);
    }
    return versions;
}

// Loads the signing key when asked to sign. A signed tree stays signed: its clients may refuse
// anything else. The sequence must grow, or clients that saw the tree's catalogue refuse the new
// one as a replay; and not leap, or a typo shuts them out of every later release of that key.
bool prepareSigning(const PublishRequest &request, const QString &cataloguePath, ReleaseSigner *signer)
{
    const qint64 published = signedSequence(server_layout::signaturePath(cataloguePath));
    if (request.signKey.isEmpty()) {
        if (published >= 0) {
            fail(QStringLiteral("the tree is signed (sequence %1): publish with --sign-key").arg(published));
            return false;
        }
        return true;
    }
    if (request.sequence <= published) {
        fail(QStringLiteral("sequence %1 is not above the tree's %2").arg(request.sequence).arg(published));
        return false;
    }
    const qint64 base = std::max<qint64>(published, 0);
    if (request.sequence - base > MaxSequenceStep && !request.forceSequence) {
        fail(QStringLiteral("sequence %1 is more than %2 above the tree's %3: clients keep the highest "
                            "sequence of each key for good, so one too high shuts them out of every "
                            "later release; give --force-sequence if it is meant")
                 .arg(request.sequence)
                 .arg(MaxSequenceStep)
                 .arg(base));
        return false;
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (request.expires > 0 && request.expires <= now) {
        fail(QStringLiteral("the expiry %1 is already past (it is %2 now): clients would refuse the release")
                 .arg(request.expires)
                 .arg(now));
        return false;
    }
    return signer->load(request.signKey, request.signPasswordFile, request.expectPublicKeys, request.sequence,
                        request.expires);
}

// A version's manifest in the tree.
QString manifestFile(const QDir &tree, const QString &version)
{
    return tree.absoluteFilePath(inTree(server_layout::manifestPath(version)));
}

// Gives every listed version the digest and size of its manifest in the tree, which the signed
// catalogue then binds. False, after saying which, when a listed manifest cannot be read.
bool bindManifests(const QDir &tree, QList<Listed> *versions)
{
    for (Listed &listed : *versions) {
        const QString path = manifestFile(tree, listed.version);
        if (!isPlainName(listed.version)
            || !sha256Hex(path, &listed.manifestSha256Hex, &listed.manifestSize)) {
            fail(QStringLiteral("the catalogue lists %1, but %2 cannot be read: a signed catalogue names "
                                "each listed version's manifest")
                     .arg(listed.version, path));
            return false;
        }
    }
    return true;
}

// Writes data to path and, when signing, its signature beside it (first, so that a client never
// sees the new file with no signature for it), then checks both as written on the disk.
bool writeSigned(const ReleaseSigner &signer, const QString &path, const QByteArray &data,
                 const QString &urlPath, const QString &version)
{
    if (!signer.isLoaded())
        return writeAtomically(path, data);
    const QString signaturePath = server_layout::signaturePath(path);
    const QByteArray signature = signer.sign(data, urlPath, version);
    if (signature.isEmpty()) {
        fail(QStringLiteral("cannot sign %1").arg(path));
        return false;
    }
    // A signature that names data a client does not find would make the old file unusable:
    // it goes back as it was when data cannot be written.
    QFile oldSignature(signaturePath);
    const bool hadSignature = oldSignature.open(QIODevice::ReadOnly);
    const QByteArray old = hadSignature ? oldSignature.readAll() : QByteArray();
    oldSignature.close();
    if (!writeAtomically(signaturePath, signature))
        return false;
    if (!writeAtomically(path, data)) {
        if (hadSignature)
            writeAtomically(signaturePath, old);
        else
            QFile::remove(signaturePath);
        return false;
    }
    QFile written(path);
    QFile writtenSignature(signaturePath);
    const bool ok = written.open(QIODevice::ReadOnly) && writtenSignature.open(QIODevice::ReadOnly)
        && signer.verify(written.readAll(), writtenSignature.readAll(), urlPath, version);
    if (!ok)
        fail(QStringLiteral("the signature of %1 does not verify as written").arg(path));
    return ok;
}

} // namespace

bool publishRelease(const PublishRequest &request)
{
    if (!isPlainName(request.version)) {
        fail(QStringLiteral("the version must be a plain name (letters, digits, . _ -)"));
        return false;
    }
    const QDir source(request.sourceDir);
    if (!source.exists()) {
        fail(QStringLiteral("no source directory %1").arg(request.sourceDir));
        return false;
    }
    // A release whose entry file is missing would never count as installed on a client, and
    // clients refuse an entry file outside the version directory.
    const QString entry = QDir::cleanPath(request.entryFile);
    if (QDir::isAbsolutePath(entry) || entry == QLatin1String("..") || entry.startsWith(QLatin1String("../"))
        || !QFileInfo(source.filePath(entry)).isFile()) {
        fail(QStringLiteral("the entry file %1 is not in the source").arg(request.entryFile));
        return false;
    }
    const bool authenticode =
        !request.authenticodeCertificate.isEmpty() || !request.authenticodeKey.isEmpty();
    if (!QFileInfo(source.filePath(QLatin1String(kLauncher))).isFile()) {
        if (authenticode) {
            fail(QStringLiteral("no %1 in the source to sign").arg(QLatin1String(kLauncher)));
            return false;
        }
        fail(QStringLiteral("warning: no %1 in the source; clients keep their launcher")
                 .arg(QLatin1String(kLauncher)));
    }
    if (authenticode
        && (!QFileInfo(request.authenticodeCertificate).isFile()
            || !QFileInfo(request.authenticodeKey).isFile())) {
        fail(QStringLiteral("Authenticode signing needs both a certificate file and a key file"));
        return false;
    }

    const QDir tree(request.outputTree);
    ReleaseSigner signer;
    if (!prepareSigning(request, catalogueFile(tree), &signer))
        return false;
    // The manifest a signed tree once held for a version keeps its signature, and a client can
    // be served it (and the packages it names) for as long as the version is listed.
    const QString manifestPath = server_layout::manifestPath(request.version);
    if (signer.isLoaded() && QFileInfo::exists(manifestFile(tree, request.version))
        && signedSequence(server_layout::signaturePath(catalogueFile(tree))) >= 0) {
        fail(QStringLiteral(
                 "%1 is already published in this signed tree; publish the release as a new version")
                 .arg(request.version));
        return false;
    }

    QList<Package> packages;
    if (!planPackages(request, &packages))
        return false;
    splitLargePackages(source, request.packageSize, &packages);
    if (!checkSourceFiles(source, packages))
        return false;

    if (!tree.mkpath(QStringLiteral(".korvel-publish"))) {
        fail(QStringLiteral("cannot create %1").arg(request.outputTree));
        return false;
    }
    const QString v = request.version;
    const QString cataloguePath = catalogueFile(tree);
    QList<Listed> versions;
    if (!readCatalogue(cataloguePath, &versions))
        return false;
    PublishedPackages published;
    if (!published.read(tree, versions))
        return false;
    PackedInputs packed;
    packed.read(tree);
    // Every package is packed and checked before any is published: a publication that fails
    // on the way (7zz, signing, a full disk) leaves the tree as every client knows it.
    QTemporaryDir staging(tree.absoluteFilePath(QLatin1String(kStagingTemplate)));
    if (!staging.isValid()) {
        fail(QStringLiteral("cannot create a staging directory in %1").arg(request.outputTree));
        return false;
    }
    for (Package &package : packages) {
        // A signed launcher carries its signing time: its package is packed afresh.
        const bool signsLauncher =
            !request.authenticodeCertificate.isEmpty() && package.paths.contains(QLatin1String(kLauncher));
        const QByteArray inputs =
            signsLauncher ? QByteArray() : PackedInputs::inputsOf(source, package.paths);
        if (!reusePacked(tree, packed, inputs, &published, &package)
            && !packPackage(request, source, tree, v, staging.path(), &published, &package))
            return false;
        if (!inputs.isEmpty())
            packed.remember(inputs, package.md5Hex);
    }
    QList<PlannedPatch> patches;
    if (!planPatches(tree, patchedVersions(versions, v, request.patchDepth),
                     patchTargets(request, source, packages), staging.path(), &patches))
        return false;
    // New bytes only ever go to URLs of their own, and the manifest comes after them: until it
    // is written, every manifest lists what it always did.
    for (const Package &package : qAsConst(packages)) {
        if (!placePackage(tree, package))
            return false;
        if (package.version == v || !package.staged.isEmpty())
            printf("package %s %s\n", qPrintable(package.name), package.md5Hex.constData());
        else
            printf("package %s %s (as published with %s)\n", qPrintable(package.name),
                   package.md5Hex.constData(), qPrintable(package.version));
    }

    if (!placePatches(tree, patches) || !packed.write(tree))
        return false;

    // The manifest before the catalogue: a client that sees the new version finds it whole.
    if (!writeSigned(signer, manifestFile(tree, v), manifestXml(request, packages, patches), manifestPath, v))
        return false;

    for (int i = versions.size() - 1; i >= 0; --i) {
        if (versions.at(i).version == v)
            versions.removeAt(i);
    }
    if (request.prefetch) {
        // The first entry stays the default; a newer prefetch is tried before older ones.
        versions.insert(versions.isEmpty() ? 0 : 1, Listed{v, true, {}, -1});
    } else {
        versions.prepend(Listed{v, false, {}, -1});
    }
    if ((signer.isLoaded() && !bindManifests(tree, &versions))
        || !writeSigned(signer, cataloguePath, catalogueXml(versions), server_layout::cataloguePath(),
                        QString()))
        return false;
    printf("published %s with %d package(s)\n", qPrintable(v), int(packages.size()));
    return true;
}

bool resignRelease(const PublishRequest &request)
{
    const QDir tree(request.outputTree);
    const QString cataloguePath = catalogueFile(tree);
    QList<Listed> versions;
    if (!QFileInfo::exists(cataloguePath)) {
        fail(QStringLiteral("no catalogue %1 to sign").arg(cataloguePath));
        return false;
    }
    ReleaseSigner signer;
    if (!prepareSigning(request, cataloguePath, &signer) || !readCatalogue(cataloguePath, &versions)
        || !bindManifests(tree, &versions))
        return false;
    // The manifests first, as a publication writes them: a client that sees the new catalogue
    // finds every manifest it names signed anew. Their bytes stay as they are.
    for (const Listed &listed : versions) {
        const QString manifestPath = server_layout::manifestPath(listed.version);
        QFile manifest(manifestFile(tree, listed.version));
        if (!manifest.open(QIODevice::ReadOnly)) {
            fail(QStringLiteral("cannot read %1").arg(manifest.fileName()));
            return false;
        }
        if (!writeSigned(signer, manifest.fileName(), manifest.readAll(), manifestPath, listed.version))
            return false;
    }
    if (!writeSigned(signer, cataloguePath, catalogueXml(versions), server_layout::cataloguePath(),
                     QString()))
        return false;
    printf("signed %d version(s) again with sequence %lld\n", int(versions.size()),
           static_cast<long long>(request.sequence));
    return true;
}
