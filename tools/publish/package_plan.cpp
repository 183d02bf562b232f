#include "package_plan.h"

#include "publish_log.h"
#include "published_tree.h"
#include "publisher.h"

#include "engine/path_names.h"
#include "engine/server_layout.h"
#include "install/commit.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>

#include <algorithm>

namespace publish {
namespace {

// Clients refuse a file of this size or more (the archive format they read addresses it with
// 32 bits).
constexpr qint64 kMaxFileSize = qint64(1) << 32;

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

// Package names and the top-level entries of the source each holds.
using Groups = QMap<QString, QStringList>;

// The packages file: one package a line, its name and then its top-level entries, "#" to the end
// of a line a comment. claimed gets every entry it names.
bool readPackagesFile(const QString &path, const QDir &source, Groups *groups, QSet<QString> *claimed)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        fail(QStringLiteral("cannot read %1").arg(path));
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
        for (const QString &entry : words) {
            // Whole top-level entries only, so nothing in the source can be left out.
            const QString clean = QDir::cleanPath(entry);
            if (clean.contains(QLatin1Char('/')) || clean.startsWith(QLatin1Char('.'))
                || !QFileInfo::exists(source.filePath(clean))) {
                fail(
                    QStringLiteral("package %1: %2 is not a top-level entry of the source").arg(name, entry));
                return false;
            }
            (*groups)[name].append(clean);
            claimed->insert(clean);
        }
    }
    return true;
}

// Every top-level entry of the source that no group claimed becomes a package of its own, named
// after it.
bool groupTheRest(const QDir &source, const QSet<QString> &claimed, Groups *groups)
{
    const QStringList top =
        source.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    QSet<QString> named;
    for (const QString &entry : top) {
        if (!claimed.contains(entry))
            named.insert(packageNameFor(entry));
    }
    for (const QString &entry : top) {
        if (claimed.contains(entry))
            continue;
        const QString wanted = packageNameFor(entry);
        if (groups->contains(wanted)) {
            fail(QStringLiteral("two packages would be named %1").arg(wanted));
            return false;
        }
        // A top-level "bin" (most releases have one) gets a name of its own that no other
        // entry of the release would have.
        QSet<QString> taken = named;
        for (auto group = groups->cbegin(); group != groups->cend(); ++group)
            taken.insert(group.key());
        const QString name = server_layout::isReservedName(wanted) ? freeName(wanted, taken) : wanted;
        (*groups)[name].append(entry);
    }
    return true;
}

} // namespace

bool planPackages(const PublishRequest &request, QList<Package> *packages)
{
    const QDir source(request.sourceDir);
    Groups groups;
    QSet<QString> claimed;
    if (!request.packagesFile.isEmpty() && !readPackagesFile(request.packagesFile, source, &groups, &claimed))
        return false;
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        if (!isPublishableName(it.key()) || server_layout::isReservedName(it.key())) {
            fail(QStringLiteral("unusable package name %1").arg(it.key()));
            return false;
        }
    }
    if (!groupTheRest(source, claimed, &groups))
        return false;
    for (auto it = groups.begin(); it != groups.end(); ++it) {
        it.value().sort();
        it.value().removeDuplicates();
        packages->append(Package{it.key(), it.value(), {}, {}, -1, {}, {}, {}});
    }
    return true;
}

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

namespace {

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

} // namespace

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

} // namespace publish
