#include "publisher.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cstdio>

namespace {

// The installer's fixed layout on the servers; the mirrors use the package's `no`.
const char kCatalogue[] = "bin/versions.xml";
const char kManifestDir[] = "bin/manifest";
const char kComponentDir[] = "component";
const char kLauncher[] = "Korvel.exe";

// Fixed switches keep the packages reproducible: no stored times, one thread (LZMA2's block
// split depends on the thread count), the same method everywhere.
const QStringList kSevenZipSwitches{"-t7z", "-m0=LZMA2", "-mx=7", "-mmt=1", "-mtm=off",
                                    "-mtc=off", "-mta=off", "-bd", "-bso0", "-bsp0"};

void fail(const QString &message)
{
    fprintf(stderr, "korvel-publish: %s\n", qPrintable(message));
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

struct Package {
    QString name;
    QStringList paths; // relative to the source, sorted
    QByteArray md5Hex;
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
    const QStringList top = source.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden
                                                 | QDir::System,
                                             QDir::Name);
    for (const QString &entry : top) {
        if (claimed.contains(entry))
            continue;
        const QString name = packageNameFor(entry);
        if (groups.contains(name)) {
            fail(QStringLiteral("two packages would be named %1").arg(name));
            return false;
        }
        groups[name].append(entry);
    }
    for (auto it = groups.begin(); it != groups.end(); ++it) {
        if (!isPlainName(it.key()) || it.key() == QLatin1String("bin")
            || it.key() == QLatin1String(kComponentDir)) {
            fail(QStringLiteral("unusable package name %1").arg(it.key()));
            return false;
        }
        it.value().sort();
        it.value().removeDuplicates();
        packages->append(Package{it.key(), it.value(), {}});
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
        fail(QStringLiteral("7zz failed on %1").arg(paths.join(QLatin1Char(' '))));
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

QByteArray manifestXml(const PublishRequest &request, const QList<Package> &packages)
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
        writer.writeAttribute(QStringLiteral("version"), request.version);
        writer.writeAttribute(QStringLiteral("no"), request.version);
        writer.writeAttribute(QStringLiteral("hash"), QString::fromLatin1(package.md5Hex));
    }
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
        if (reader.readNext() != QXmlStreamReader::StartElement
            || reader.name() != QLatin1String("Version"))
            continue;
        const QString version = reader.attributes().value(QLatin1String("version")).toString();
        if (!version.isEmpty())
            versions->append(Listed{version, reader.attributes().value(QLatin1String("prefetch"))
                                                 == QLatin1String("true")});
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
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
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
    if (QDir::isAbsolutePath(entry) || entry == QLatin1String("..")
        || entry.startsWith(QLatin1String("../")) || !QFileInfo(source.filePath(entry)).isFile()) {
        fail(QStringLiteral("the entry file %1 is not in the source").arg(request.entryFile));
        return false;
    }
    if (!QFileInfo(source.filePath(QLatin1String(kLauncher))).isFile())
        fail(QStringLiteral("warning: no %1 in the source; clients keep their launcher")
                 .arg(QLatin1String(kLauncher)));

    QList<Package> packages;
    if (!planPackages(request, &packages))
        return false;

    const QDir tree(request.outputTree);
    if (!tree.mkpath(QStringLiteral("."))) {
        fail(QStringLiteral("cannot create %1").arg(request.outputTree));
        return false;
    }
    const QString v = request.version;
    for (Package &package : packages) {
        const QString file = QStringLiteral("%1_%2.7z").arg(package.name, v);
        const QString component =
            tree.absoluteFilePath(QStringLiteral("%1/%2/%3/%4").arg(kComponentDir, package.name, v, file));
        const QString mirror = tree.absoluteFilePath(QStringLiteral("%1/%2/%3").arg(package.name, v, file));
        QDir().mkpath(QFileInfo(component).absolutePath());
        const QString building = component + QStringLiteral(".building");
        if (!makeArchive(source.absolutePath(), package.paths, building))
            return false;
        package.md5Hex = md5Hex(building);
        QFile::remove(component);
        if (package.md5Hex.isEmpty() || !QFile::rename(building, component)
            || !copyAtomically(component, mirror)) {
            fail(QStringLiteral("cannot place package %1").arg(package.name));
            return false;
        }
        printf("package %s %s\n", qPrintable(package.name), package.md5Hex.constData());
    }

    // The manifest before the catalogue: a client that sees the new version finds it whole.
    if (!writeAtomically(tree.absoluteFilePath(QStringLiteral("%1/%2.xml").arg(kManifestDir, v)),
                         manifestXml(request, packages)))
        return false;

    const QString cataloguePath = tree.absoluteFilePath(QLatin1String(kCatalogue));
    QList<Listed> versions;
    if (!readCatalogue(cataloguePath, &versions))
        return false;
    for (int i = versions.size() - 1; i >= 0; --i) {
        if (versions.at(i).version == v)
            versions.removeAt(i);
    }
    if (request.prefetch) {
        // The first entry stays the default; a newer prefetch is tried before older ones.
        versions.insert(versions.isEmpty() ? 0 : 1, Listed{v, true});
    } else {
        versions.prepend(Listed{v, false});
    }
    if (!writeAtomically(cataloguePath, catalogueXml(versions)))
        return false;
    printf("published %s with %d package(s)\n", qPrintable(v), int(packages.size()));
    return true;
}
