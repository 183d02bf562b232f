#include "engine/version_catalogue.h"

#include "loopback_fixture.h"
#include "platform/process.h"
#include "support/child_process.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QMap>
#include <QSet>

#include <chrono>
#include <mutex>
#include <thread>

#include <cerrno>
#include <cstddef>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const QByteArray Content = "7z package bytes \x01\x02\x03";
const QByteArray FirstMirror = "/component/core/12/core_12.7z";
const QByteArray SecondMirror = "/core/12/core_12.7z";

QByteArray md5Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

// Sets or clears the immutable flag of a directory; false where the file system or our
// privileges do not allow it.
bool setImmutable(const QString &dir, bool on)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

// Forbids the calling thread, and whatever it starts, to start threads: clone3 answers "not
// supported", so the C library falls back to clone, and clone with CLONE_THREAD fails as it
// does for a user at the thread limit. Processes can still be made (the sanitizers' leak check
// needs one). False where the system refuses the filter.
bool refuseNewThreads()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])), // the flags' low half
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{sizeof filter / sizeof filter[0], filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
        && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Blocks of 512 KiB go round a ring of a few: this body goes round it several times and ends
// in a partial block.
QByteArray bodyOfManyBlocks()
{
    QByteArray body;
    for (quint32 x = 1; body.size() < 5 * 512 * 1024 + 1234; x = x * 1103515245u + 12345u)
        body.append(char(x >> 24));
    body.resize(5 * 512 * 1024 + 1234);
    return body;
}

class PackageDownloadTest : public LoopbackTest {
protected:
    // An entry for version 1.0 whose manifest lists the given packages (name, no 12 / 13, the
    // digest of Content unless hash is given).
    VersionEntry entryWith(const QByteArray &packages)
    {
        VersionEntry e(QDir(home.dataDirectory()), &sink, "1.0", QString());
        EXPECT_TRUE(e.parseManifest("<M>" + packages + "<Entry file=\"a.so\" function=\"f\"/></M>"));
        return e;
    }
    VersionEntry coreEntry(const QByteArray &hash = md5Hex(Content))
    {
        return entryWith("<Package name=\"core\" version=\"core-3\" no=\"12\" hash=\"" + hash + "\"/>");
    }
    QString finalPath() const { return home.dataDirectory() + "/packages/core/core-3.7z"; }
    QString partialPath() const { return finalPath() + ".partial"; }
    QList<QByteArray> requestedPaths() const
    {
        QList<QByteArray> paths;
        for (const HttpRequest &r : server.requests())
            paths << r.target;
        return paths;
    }

    VersionEntry bodyEntry(const QByteArray &body)
    {
        return entryWith("<Package name=\"core\" version=\"core-3\" no=\"12\" hash=\"" + md5Hex(body)
                         + "\"/>");
    }
    // Downloads a body of many blocks; then, with the second mirror serving it, a copy with
    // one byte changed in its last block and one cut in its fourth block: each of these fails
    // its attempt, and the second mirror's whole body is taken. Then the changed copy, signed
    // or not.
    void downloadBodiesOfManyBlocks()
    {
        const QByteArray body = bodyOfManyBlocks();
        server.serve(FirstMirror, HttpReply::ok(body));
        EXPECT_TRUE(bodyEntry(body).downloadPackages());
        EXPECT_EQ(md5Hex(readFile(finalPath())), md5Hex(body));

        server.serve(SecondMirror, HttpReply::ok(body));
        QByteArray changed = body;
        changed[changed.size() - 7] = char(changed[changed.size() - 7] ^ 0x01);
        HttpReply cut = HttpReply::ok(body);
        cut.closeAfterBytes = 3 * 512 * 1024 + 100;
        for (const HttpReply &first : {HttpReply::ok(changed), cut}) {
            ASSERT_TRUE(QFile::remove(finalPath()));
            server.serve(FirstMirror, first);
            server.clearRequests();
            EXPECT_TRUE(bodyEntry(body).downloadPackages());
            EXPECT_EQ(md5Hex(readFile(finalPath())), md5Hex(body));
            EXPECT_EQ(requestedPaths(), (QList<QByteArray>{FirstMirror, SecondMirror}));
        }

        // Signed, the SHA-256 taken beside the MD5 decides too. The listed MD5 is the changed
        // copy's, which both mirrors serve: only the SHA-256 tells it from the signed bytes.
        server.serve(FirstMirror, HttpReply::ok(changed));
        server.serve(SecondMirror, HttpReply::ok(changed));
        for (const QByteArray &signedBytes : {body, changed}) {
            QFile::remove(finalPath());
            PackageRecord record = bodyEntry(changed).packages().first();
            record.setSignedContent(QCryptographicHash::hash(signedBytes, QCryptographicHash::Sha256),
                                    signedBytes.size());
            EXPECT_EQ(record.downloadPackage(), signedBytes == changed);
        }
    }

    // An entry of count packages p0, p1, ... (no 0, 1, ...), each of them Content.
    VersionEntry manyEntry(int count)
    {
        QByteArray packages;
        for (int i = 0; i < count; ++i)
            packages += "<Package name=\"p" + QByteArray::number(i) + "\" version=\"v\" no=\""
                + QByteArray::number(i) + "\" hash=\"" + md5Hex(Content) + "\"/>";
        return entryWith(packages);
    }
    static QByteArray manyPath(int i, const QByteArray &mirror = "/component")
    {
        const QByteArray n = QByteArray::number(i);
        return mirror + "/p" + n + "/" + n + "/p" + n + "_" + n + ".7z";
    }

    RecordingSink sink;
};

// A few transfers at once, over connections kept alive from one package to the next, and the
// user hears of the packages in manifest order all the same.
TEST_F(PackageDownloadTest, FewConnectionsKeptAliveForManyPackages)
{
    constexpr int Count = 24;
    for (int i = 0; i < Count; ++i)
        server.serve(manyPath(i), HttpReply::ok(Content));
    VersionEntry e = manyEntry(Count);
    ASSERT_GT(e.transferLimits().concurrentTransfers, 1);
    EXPECT_TRUE(e.downloadPackages());
    EXPECT_EQ(server.requests().size(), Count);
    EXPECT_LE(server.connectionCount(), e.transferLimits().concurrentTransfers);
    QList<Report> announced;
    for (int i = 0; i < Count; ++i) {
        announced.append({2, 0, "1.0", "p" + QString::number(i), "开始下载"});
        EXPECT_EQ(readFile(home.dataDirectory() + "/packages/p" + QString::number(i) + "/v.7z"), Content);
    }
    EXPECT_EQ(sink.reports, announced);
}

// No more transfers than the limit at once; the first package that fails is the one reported,
// and the transfers still running are stopped rather than waited out.
TEST_F(PackageDownloadTest, ConcurrencyLimitAndFirstFailureStopsTheRest)
{
    HttpReply stall = HttpReply::ok(Content);
    stall.stallMs = -1;
    constexpr int Count = 10;
    for (int i = 0; i < Count; ++i) {
        server.serve(manyPath(i), stall);
        server.serve(manyPath(i, ""), stall);
    }
    TransferLimits limits;
    limits.concurrentTransfers = 3;
    limits.lowSpeedSeconds = 2;
    VersionEntry e = manyEntry(Count);
    e.setTransferLimits(limits);
    bool downloaded = true;
    std::thread job([&] { downloaded = e.downloadPackages(); });
    const bool started = server.waitForRequests(limits.concurrentTransfers, 10000);
    // Every transfer stalls for two seconds before it may give up: none can have made room.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int atOnce = server.requests().size();
    job.join();
    EXPECT_TRUE(started);
    EXPECT_EQ(atOnce, limits.concurrentTransfers);
    EXPECT_FALSE(downloaded);
    EXPECT_EQ(sink.reports,
              (QList<Report>{{2, 0, "1.0", "p0", "开始下载"}, {2, -1, "1.0", "p0", "下载错误"}}));
    // Stopped, not served in turn (that would be two requests for each package): the first
    // round and its second mirrors; nothing is started once a package has failed.
    EXPECT_EQ(server.requests().size(), 2 * limits.concurrentTransfers);
}

// The checks of packages already in the store go on beside the transfers, not behind them:
// while every transfer waits on a slow server, the stored packages are all in. A stored file
// with other bytes is fetched all the same.
TEST_F(PackageDownloadTest, StoredPackagesAreCheckedBesideTheTransfers)
{
    struct Arrivals : PackageArrivals {
        void packageArrived(int index) override
        {
            std::lock_guard<std::mutex> lock(mutex);
            order.append(index);
        }
        std::mutex mutex;
        QList<int> order;
    } arrivals;
    constexpr int Count = 8;
    constexpr int Fetched = 2; // p0 and p1, first in start order; p2 ... stored
    HttpReply slow = HttpReply::ok(Content);
    slow.stallAfterBytes = 1;
    slow.stallMs = 1000;
    for (int i = 0; i < Count; ++i) {
        server.serve(manyPath(i), i < Fetched ? slow : HttpReply::ok(Content));
        server.serve(manyPath(i, ""), i < Fetched ? slow : HttpReply::ok(Content));
        if (i >= Fetched) {
            const QByteArray stored = i == Count - 1 ? QByteArray(Content.size(), 'x') : Content;
            ASSERT_TRUE(
                writeFile(home.dataDirectory() + "/packages/p" + QString::number(i) + "/v.7z", stored));
        }
    }
    TransferLimits limits;
    limits.concurrentTransfers = Fetched;
    VersionEntry e = manyEntry(Count);
    e.setTransferLimits(limits);
    EXPECT_TRUE(e.downloadPackages(&arrivals));
    ASSERT_EQ(arrivals.order.size(), Count);
    for (int i = 0; i < Count; ++i) {
        EXPECT_EQ(arrivals.order.indexOf(i) < Count - Fetched, i >= Fetched) << "p" << i;
        EXPECT_EQ(readFile(home.dataDirectory() + "/packages/p" + QString::number(i) + "/v.7z"), Content);
    }
    EXPECT_EQ(server.requests().size(), Fetched + 1);
}

// A mirror that stops sending, or sends too slowly for the package's size, gives the package
// to the other.
TEST_F(PackageDownloadTest, StalledOrSlowMirrorGivesThePackageToTheOther)
{
    const QByteArray body = bodyOfManyBlocks();
    HttpReply stalled = HttpReply::ok(body);
    stalled.stallMs = -1;
    HttpReply slow = HttpReply::ok(body);
    slow.stallAfterBytes = 100;
    slow.stallMs = 20000;
    TransferLimits stallLimits;
    stallLimits.lowSpeedSeconds = 1;
    TransferLimits slowLimits; // the low-speed floor (1 byte/s over 30 s) never sees it
    slowLimits.averageGraceMs = 500;
    slowLimits.minAverageBytesPerSecond = 4 * 1024 * 1024;
    const struct {
        HttpReply first;
        TransferLimits limits;
    } cases[] = {{stalled, stallLimits}, {slow, slowLimits}};
    for (const auto &c : cases) {
        QFile::remove(finalPath());
        server.serve(FirstMirror, c.first);
        server.serve(SecondMirror, HttpReply::ok(body));
        server.clearRequests();
        VersionEntry e = bodyEntry(body);
        e.setTransferLimits(c.limits);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(e.downloadPackages());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
        EXPECT_EQ(requestedPaths(), (QList<QByteArray>{FirstMirror, SecondMirror}));
        EXPECT_EQ(md5Hex(readFile(finalPath())), md5Hex(body));
    }
}

// A connection cut off mid-way costs only what was lost: the rest is asked for with a Range
// guarded by the entity tag of the first answer. A server that answers the whole file again
// (no ranges, or the file changed) starts the package again; one that answers another range
// than asked for is not trusted, and the package starts again from nothing.
TEST_F(PackageDownloadTest, CutConnectionIsResumedWhereItStopped)
{
    const QByteArray body = bodyOfManyBlocks();
    const int cutAt = 2 * 512 * 1024 + 777;
    HttpReply cut = HttpReply::ok(body, {"ETag: \"v1\""});
    cut.closeAfterBytes = cutAt;
    const QByteArray rangeOfRest = "bytes " + QByteArray::number(cutAt) + "-"
        + QByteArray::number(body.size() - 1) + "/" + QByteArray::number(body.size());
    const HttpReply rest = HttpReply::status(206, body.mid(cutAt), {"Content-Range: " + rangeOfRest});
    const HttpReply otherRange =
        HttpReply::status(206, body,
                          {"Content-Range: bytes 0-" + QByteArray::number(body.size() - 1) + "/"
                           + QByteArray::number(body.size())});
    const struct {
        QList<HttpReply> replies;
        int requests;
    } cases[] = {
        {{cut, rest}, 2},
        {{cut, HttpReply::ok(body, {"ETag: \"v2\""})}, 2},
        {{cut, otherRange, HttpReply::ok(body)}, 3},
    };
    for (const auto &c : cases) {
        QFile::remove(finalPath());
        server.serve(FirstMirror, c.replies);
        server.clearRequests();
        EXPECT_TRUE(bodyEntry(body).downloadPackages());
        EXPECT_EQ(md5Hex(readFile(finalPath())), md5Hex(body));
        EXPECT_FALSE(QFileInfo::exists(partialPath()));
        EXPECT_FALSE(QFileInfo::exists(partialPath() + ".tag"));
        const QList<HttpRequest> requests = server.requests(FirstMirror);
        ASSERT_EQ(requests.size(), c.requests);
        EXPECT_FALSE(requests.at(0).hasHeader("Range"));
        EXPECT_EQ(requests.at(1).header("Range"), "bytes=" + QByteArray::number(cutAt) + "-");
        EXPECT_EQ(requests.at(1).header("If-Range"), "\"v1\"");
        if (c.requests == 3) {
            EXPECT_FALSE(requests.at(2).hasHeader("Range"));
        }
    }
}

// A partial file an earlier run left beside its tag is continued; one whose bytes turn out
// wrong once the rest is in is fetched again whole, never trusted.
TEST_F(PackageDownloadTest, PartialFileOfAnEarlierRunIsContinuedAndVerifiedWhole)
{
    const QByteArray body = bodyOfManyBlocks();
    const int kept = 512 * 1024 + 5;
    const QByteArray rangeOfRest = "bytes " + QByteArray::number(kept) + "-"
        + QByteArray::number(body.size() - 1) + "/" + QByteArray::number(body.size());
    const HttpReply rest =
        HttpReply::status(206, body.mid(kept),
                          {"Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT", "Content-Range: " + rangeOfRest});
    QByteArray spoilt = body.left(kept);
    spoilt[100] = char(spoilt[100] ^ 0x40);
    for (const QByteArray &left : {body.left(kept), spoilt}) {
        QFile::remove(finalPath());
        ASSERT_TRUE(writeFile(partialPath(), left));
        ASSERT_TRUE(writeFile(partialPath() + ".tag", "Mon, 07 Dec 2026 10:00:00 GMT"));
        server.serve(FirstMirror, {rest, HttpReply::ok(body)});
        server.clearRequests();
        EXPECT_TRUE(bodyEntry(body).downloadPackages());
        EXPECT_EQ(md5Hex(readFile(finalPath())), md5Hex(body));
        const QList<HttpRequest> requests = server.requests(FirstMirror);
        ASSERT_EQ(requests.size(), left == spoilt ? 2 : 1);
        EXPECT_EQ(requests.at(0).header("Range"), "bytes=" + QByteArray::number(kept) + "-");
        EXPECT_EQ(requests.at(0).header("If-Range"), "Mon, 07 Dec 2026 10:00:00 GMT");
        if (left == spoilt) {
            EXPECT_FALSE(requests.at(1).hasHeader("Range"));
        }
    }
}

TEST_F(PackageDownloadTest, VerifiedFileIsReusedWithoutRequest)
{
    VersionEntry e = coreEntry();
    ASSERT_TRUE(writeFile(finalPath(), Content));
    EXPECT_TRUE(e.downloadPackages());
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_EQ(sink.reports, (QList<Report>{{2, 0, "1.0", "core", "开始下载"}}));
}

TEST_F(PackageDownloadTest, WrongFinalFileIsFetchedAgain)
{
    VersionEntry e = coreEntry(md5Hex(Content).toUpper());
    ASSERT_TRUE(writeFile(finalPath(), "stale bytes of another build"));
    server.serve(FirstMirror, HttpReply::ok(Content));

    EXPECT_TRUE(e.downloadPackages());
    EXPECT_EQ(readFile(finalPath()), Content);
    EXPECT_FALSE(QFileInfo::exists(partialPath()));
    EXPECT_EQ(requestedPaths(), (QList<QByteArray>{FirstMirror}));
}

TEST_F(PackageDownloadTest, SecondMirrorAfterMissingOrWrongAnswer)
{
    server.serve(SecondMirror, HttpReply::ok(Content));

    server.serve(FirstMirror, HttpReply::status(404, "no such package"));
    EXPECT_TRUE(coreEntry().downloadPackages());
    EXPECT_EQ(readFile(finalPath()), Content);
    EXPECT_EQ(requestedPaths(), (QList<QByteArray>{FirstMirror, SecondMirror}));

    // Bytes of the right length with one changed: only the digest taken as they arrive tells.
    QByteArray changed = Content;
    changed[3] = char(changed[3] ^ 0x20);
    ASSERT_TRUE(QFile::remove(finalPath()));
    server.serve(FirstMirror, HttpReply::ok(changed));
    server.clearRequests();
    EXPECT_TRUE(coreEntry().downloadPackages());
    EXPECT_EQ(readFile(finalPath()), Content);
    EXPECT_EQ(requestedPaths(), (QList<QByteArray>{FirstMirror, SecondMirror}));

    // Wrong bytes, longer than the right ones, over a partial file an earlier run left: the
    // second answer must land on an empty file, not after either of them.
    ASSERT_TRUE(QFile::remove(finalPath()));
    ASSERT_TRUE(writeFile(partialPath(), QByteArray(4096, 'L')));
    server.serve(FirstMirror, HttpReply::ok(QByteArray(200, 'W')));
    server.clearRequests();
    EXPECT_TRUE(coreEntry().downloadPackages());
    EXPECT_EQ(readFile(finalPath()), Content);
    EXPECT_EQ(requestedPaths(), (QList<QByteArray>{FirstMirror, SecondMirror}));
}

TEST_F(PackageDownloadTest, BodyOfManyBlocksIsDigestedBesideTheTransfer)
{
    downloadBodiesOfManyBlocks();
}

// Run by the test below in a process of its own: the filter cannot be taken off again.
TEST_F(PackageDownloadTest, WithoutThreadsHelper)
{
    if (!qEnvironmentVariableIsSet("KORVEL_ENGINE_TEST_NO_THREADS"))
        GTEST_SKIP() << "helper process only";
    if (!refuseNewThreads())
        GTEST_SKIP() << "this system refuses the filter";
    platform::JoinedThread probe;
    ASSERT_FALSE(probe.start([] {}));
    downloadBodiesOfManyBlocks();
}

TEST_F(PackageDownloadTest, SystemThatRefusesAThreadStillGetsEveryBodyDigested)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KORVEL_ENGINE_TEST_NO_THREADS"), QStringLiteral("1"));
    QByteArray out;
    const int status = runProgram(platform::executablePath(),
                                  {QStringLiteral("--gtest_filter=PackageDownloadTest.WithoutThreadsHelper")},
                                  QString(), &out, nullptr, env);
    if (out.contains("[  SKIPPED ] 1 test"))
        GTEST_SKIP() << out.constData();
    EXPECT_EQ(status, 0) << out.constData();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.constData();
}

TEST_F(PackageDownloadTest, NameAndNoAreDataInTheUrl)
{
    server.serve("/component/core%20b/1%232/core%20b_1%232.7z", HttpReply::status(404));
    server.serve("/core%20b/1%232/core%20b_1%232.7z", HttpReply::ok(Content));
    VersionEntry e =
        entryWith("<Package name=\"core b\" version=\"v\" no=\"1#2\" hash=\"" + md5Hex(Content) + "\"/>");
    EXPECT_TRUE(e.downloadPackages());
    EXPECT_EQ(requestedPaths(),
              (QList<QByteArray>{"/component/core%20b/1%232/core%20b_1%232.7z",
                                 "/core%20b/1%232/core%20b_1%232.7z"}));
}

TEST_F(PackageDownloadTest, BothMirrorsFailingLeaveNoPartialFile)
{
    HttpReply cut = HttpReply::ok(Content);
    cut.closeAfterBytes = 5;
    server.serve(FirstMirror, cut);
    server.serve(SecondMirror, HttpReply::ok("wrong"));
    // Fetched or not while the first one fails, never announced.
    server.serve("/component/extra/13/extra_13.7z", HttpReply::status(404));
    server.serve("/extra/13/extra_13.7z", HttpReply::status(404));
    VersionEntry e = entryWith("<Package name=\"core\" version=\"core-3\" no=\"12\" hash=\"" + md5Hex(Content)
                               + "\"/>"
                                 "<Package name=\"extra\" version=\"x-1\" no=\"13\" hash=\""
                               + md5Hex(Content) + "\"/>");

    EXPECT_FALSE(e.downloadPackages());
    EXPECT_EQ(sink.reports,
              (QList<Report>{{2, 0, "1.0", "core", "开始下载"}, {2, -1, "1.0", "core", "下载错误"}}));
    // Never resumed, and as large as a server likes: a failed download keeps nothing.
    EXPECT_FALSE(QFileInfo::exists(partialPath()));
    EXPECT_FALSE(QFileInfo::exists(finalPath()));
    // The second package was not announced (it may have been fetched meanwhile).
    EXPECT_EQ(server.requests(FirstMirror).size(), 1);
    EXPECT_EQ(server.requests(SecondMirror).size(), 1);
}

TEST_F(PackageDownloadTest, UnreachableMirrorsAndBlockedFinalFile)
{
    const QByteArray closed =
        QStringLiteral("http://127.0.0.1:%1").arg(TestHttpServer::closedPort()).toUtf8();
    home.setEnv("KORVEL_COMPONENT_SERVER", closed);
    home.setEnv("KORVEL_PACKAGE_SERVER", closed);
    EXPECT_FALSE(coreEntry().downloadPackages());
    EXPECT_FALSE(QFileInfo::exists(partialPath()));

    // A final name taken by a directory with content can be neither reused nor replaced.
    ASSERT_TRUE(writeFile(finalPath() + "/inside", "x"));
    sink.reports.clear();
    EXPECT_FALSE(coreEntry().downloadPackages());
    EXPECT_EQ(sink.reports.value(1), (Report{2, -1, "1.0", "core", "下载错误"}));
}

TEST_F(PackageDownloadTest, PackageDirectoriesAreMadeByTheFirstDownloadOnly)
{
    const QString store = home.dataDirectory() + "/packages";
    // Refused for its second package: the first one's directory must not be left behind.
    VersionEntry refused(QDir(home.dataDirectory()), &sink, "1.0", QString());
    EXPECT_FALSE(refused.parseManifest("<M><Package name=\"core\" version=\"core-3\" no=\"12\" hash=\""
                                       + md5Hex(Content)
                                       + "\"/><Package name=\"..\" version=\"x\" no=\"1\" hash=\"00\"/>"
                                         "<Entry file=\"a.so\" function=\"f\"/></M>"));
    EXPECT_FALSE(QFileInfo::exists(store));

    // Accepted, and only then downloaded.
    VersionEntry e = coreEntry();
    EXPECT_FALSE(QFileInfo::exists(store));
    server.serve(FirstMirror, HttpReply::ok(Content));
    EXPECT_TRUE(e.downloadPackages());
    EXPECT_EQ(readFile(finalPath()), Content);
}

TEST_F(PackageDownloadTest, VerifiedFileThatCannotTakeItsNameIsAFailure)
{
    server.serve(FirstMirror, HttpReply::ok(Content));
    VersionEntry e = coreEntry();
    const QString dir = home.dataDirectory() + "/packages/core";
    // The directory refuses every new name: neither a partial file nor a final one can be made.
    ASSERT_TRUE(writeFile(partialPath(), ""));
    if (!setImmutable(dir, true))
        GTEST_SKIP() << "cannot make a directory immutable here";

    const bool downloaded = e.downloadPackages();
    const bool finalExists = QFileInfo::exists(finalPath());
    setImmutable(dir, false);
    EXPECT_FALSE(downloaded);
    EXPECT_FALSE(finalExists);
    EXPECT_EQ(sink.reports.value(1), (Report{2, -1, "1.0", "core", "下载错误"}));
}

} // namespace

// A large package comes in pieces, each a request of its own on whichever transfer is free, and
// is verified whole before it takes its name. A connection cut in a piece costs only what it had
// not brought; a server that gives no pieces, or pieces that do not make the package, gets the
// package fetched whole after all.
TEST_F(PackageDownloadTest, LargePackageComesInPiecesAndWholeWhereItCannot)
{
    const QByteArray body = bodyOfManyBlocks().repeated(4);
    const QByteArray listed = "<Package name=\"core\" version=\"core-3\" no=\"12\" hash=\"" + md5Hex(body)
        + "\" size=\"" + QByteArray::number(body.size()) + "\"/>";
    // Within any piece: the smallest a piece may be is 256 KiB.
    constexpr int CutAt = 100 * 1000;
    HttpReply ranges = HttpReply::ok(body);
    ranges.servesRanges = true;
    HttpReply cut = ranges;
    cut.closeAfterBytes = CutAt;
    QByteArray changed = body;
    changed[changed.size() / 2] = char(changed[changed.size() / 2] ^ 0x01);
    HttpReply changedRanges = HttpReply::ok(changed);
    changedRanges.servesRanges = true;
    const struct {
        const char *what;
        QList<HttpReply> first;
        int resumed; // requests for the rest of a piece
        int whole;   // requests without a Range header
    } cases[] = {
        {"in pieces", {ranges}, 0, 0},
        {"a piece cut", {cut, ranges}, 1, 0},
        {"no pieces", {HttpReply::ok(body)}, -1, 1},
        {"wrong pieces", {changedRanges}, 0, 2},
    };
    // Where each piece begins, as the first case asked for them: pieces that tile the package.
    QSet<qint64> pieceStarts;
    // What is counted are the pieces' own requests: a slow machine must not make one look
    // behind enough for an idle transfer to take over its end.
    TransferLimits limits;
    limits.takeOverAfterMs = 60000;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(finalPath());
        server.serve(FirstMirror, c.first);
        server.serve(SecondMirror, ranges);
        server.clearRequests();
        VersionEntry e = entryWith(listed);
        e.setTransferLimits(limits);
        EXPECT_TRUE(e.downloadPackages());
        EXPECT_EQ(md5Hex(readFile(finalPath())), md5Hex(body));
        EXPECT_FALSE(QFileInfo::exists(partialPath()));
        QMap<qint64, qint64> asked; // first byte: last byte, of each range asked for
        int whole = 0;
        for (const HttpRequest &request : server.requests()) {
            const QByteArray range = request.header("Range");
            if (range.isEmpty()) {
                ++whole;
                continue;
            }
            const int dash = range.indexOf('-');
            asked.insert(range.mid(6, dash - 6).toLongLong(), range.mid(dash + 1).toLongLong());
        }
        EXPECT_EQ(whole, c.whole);
        if (pieceStarts.isEmpty()) {
            ASSERT_GE(asked.size(), 2);
            qint64 next = 0;
            for (auto it = asked.cbegin(); it != asked.cend(); ++it) {
                EXPECT_EQ(it.key(), next);
                next = it.value() + 1;
                pieceStarts.insert(it.key());
            }
            EXPECT_EQ(next, body.size());
            continue;
        }
        if (c.resumed < 0) {
            EXPECT_GE(asked.size(), 1);
            continue;
        }
        int resumed = 0;
        for (auto it = asked.cbegin(); it != asked.cend(); ++it) {
            if (!pieceStarts.contains(it.key())) {
                ++resumed;
                EXPECT_TRUE(pieceStarts.contains(it.key() - CutAt)) << it.key();
            }
        }
        EXPECT_EQ(asked.size(), pieceStarts.size() + resumed);
        EXPECT_EQ(resumed, c.resumed);
    }
}

// The end of a job: a transfer that has nothing left to start takes over the end of one that
// has fallen behind (here: its server pauses mid-way), asking for it with a Range over its own
// connection; the one behind stops where the helper's part begins. Whole or in pieces, the
// package is checked whole once both parts are in. A server that does not give the part leaves
// the transfer to end by itself.
TEST_F(PackageDownloadTest, TransferBehindGivesItsEndToAnIdleOne)
{
    const QByteArray body = bodyOfManyBlocks();
    // Within the first piece, which the first request asks for: pieces are at least 256 KiB.
    constexpr int PauseAt = 100 * 1024;
    HttpReply ranges = HttpReply::ok(body, {"ETag: \"v1\""});
    ranges.servesRanges = true;
    HttpReply behind = ranges;
    behind.stallAfterBytes = PauseAt;
    behind.stallMs = 1500;
    const QByteArray whole =
        "<Package name=\"core\" version=\"core-3\" no=\"12\" hash=\"" + md5Hex(body) + "\"/>";
    const QByteArray inPieces = whole.chopped(2) + " size=\"" + QByteArray::number(body.size()) + "\"/>";
    const QByteArray small = "<Package name=\"p\" version=\"v\" no=\"1\" hash=\"" + md5Hex(Content) + "\"/>";
    const struct {
        const char *what;
        QByteArray packages;
        HttpReply helperAnswer;
    } cases[] = {
        {"whole", whole + small, ranges},
        {"in pieces", inPieces, ranges},
        {"no range for the helper", whole + small, HttpReply::ok(body)},
    };
    server.serve("/component/p/1/p_1.7z", HttpReply::ok(Content));
    // Only the paused transfer may be behind enough, however slow the machine.
    TransferLimits limits;
    limits.takeOverAfterMs = 400;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(finalPath());
        QFile::remove(home.dataDirectory() + "/packages/p/v.7z");
        server.serve(FirstMirror, {behind, c.helperAnswer});
        server.clearRequests();
        VersionEntry e = entryWith(c.packages);
        e.setTransferLimits(limits);
        EXPECT_TRUE(e.downloadPackages());
        EXPECT_EQ(md5Hex(readFile(finalPath())), md5Hex(body));
        EXPECT_FALSE(QFileInfo::exists(partialPath()));
        EXPECT_FALSE(QFileInfo::exists(partialPath() + ".tag"));
        // The first request to arrive got the answer that pauses; the helper's comes last
        // (helping begins once nothing is left to start). The others are the package whole, or
        // pieces that tile it.
        QList<HttpRequest> requests = server.requests(FirstMirror);
        ASSERT_GE(requests.size(), 2);
        const auto bounds = [&](const HttpRequest &request) {
            const QByteArray range = request.header("Range");
            const int dash = range.indexOf('-');
            return range.isEmpty()
                ? std::make_pair(qint64(0), qint64(body.size() - 1))
                : std::make_pair(range.mid(6, dash - 6).toLongLong(), range.mid(dash + 1).toLongLong());
        };
        const auto helper = bounds(requests.takeLast());
        const auto behindRange = bounds(requests.first());
        QMap<qint64, qint64> asked; // first byte: last byte
        for (const HttpRequest &request : requests)
            asked.insert(bounds(request).first, bounds(request).second);
        EXPECT_EQ(asked.size(), requests.size());
        qint64 next = 0;
        for (auto it = asked.cbegin(); it != asked.cend(); ++it) {
            EXPECT_EQ(it.key(), next);
            next = it.value() + 1;
        }
        EXPECT_EQ(next, body.size());
        // The rest of the range behind, from past where its server paused.
        EXPECT_GT(helper.first, std::max<qint64>(behindRange.first, PauseAt));
        EXPECT_LT(helper.first, behindRange.second);
        EXPECT_EQ(helper.second, behindRange.second);
    }
}
