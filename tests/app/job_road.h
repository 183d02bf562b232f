#pragma once

#include "install/registry_home.h"
#include "support/child_process.h"
#include "support/http_server.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

#include <gtest/gtest.h>

// The whole road with the built program as a real process: a release of the sample client
// (with the built program as its launcher) published with korvel-publish into a tree that the
// loopback server serves as all four servers, a private home, and the program run headless, so
// every text a user would read arrives on its standard error.
class JobRoad : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Points all four servers at base.
    void useServers(const QString &base);
    // Publishes version into the tree and serves the whole tree again.
    void publish(const QString &version, bool prefetch = false);
    // Serves every file of the tree under its path, except those for which skip is true.
    void serveTree(const std::function<bool(const QString &)> &skip = {});

    // Runs program to its end with arguments; keeps stdout/stderr in out/err.
    int run(const QString &program, const QStringList &arguments = {});
    // err as lines.
    QList<QByteArray> errLines() const;

    // The launcher in the data directory and the downloaded program a user starts first.
    QString installedProgram() const { return home.dataDirectory() + QStringLiteral("/Korvel.exe"); }
    QString tree() const { return home.root() + QStringLiteral("/www"); }
    QString clientLog() const { return home.root() + QStringLiteral("/client.log"); }
    QString stage(const QString &version) const { return home.root() + QStringLiteral("/stage-") + version; }

    // The reports the sample client appended to clientLog, one per start (each begins with "entry: ").
    QList<QByteArray> clientReports() const;
    // Waits until the client launched after an install has written its report and ended;
    // returns that report (empty on time-out, with a failure added).
    QByteArray waitForLaunchedClient();
    // Runs the plain "install" road from the downloaded program and waits for the launched
    // client; the test fails when any step does.
    void installFromDownload();

    // The files a user gets of a published version: what publish() put into its release.
    QMap<QString, QByteArray> releaseFiles(const QString &version) const;
    // Runs program under strace, which kills it with SIGKILL at its first system call that names
    // path (a stat, an open, an unlink, a rename); every process started from below the test's
    // root dies with it. Returns whether the program was killed.
    bool runKilledAt(const QString &path, const QString &program, const QStringList &arguments = {});
    // Runs program to its end as on a disk where no file can grow past bytes: a write beyond
    // that fails (EFBIG, as a full disk fails with ENOSPC) instead of killing the program.
    int runOnFullDisk(qint64 bytes, const QString &program, const QStringList &arguments = {});
    // A user's plain start of program after whatever happened before: runs it and returns the
    // report of the client it ran or launched (empty, with a failure added, when none ran).
    QByteArray startNormally(const QString &program);
    // Adds a failure unless the client of report ran from a directory holding every file of its
    // release, unchanged.
    void expectRanComplete(const QByteArray &report);
    // Adds a failure unless version is installed whole: its files and manifest, the launcher,
    // the uninstall entry, the URL protocol, the desktop shortcut and the menu entry.
    void expectCompleteInstallation(const QString &version);

    // Files of the user's and the client's own in the data directory, beside the installed
    // version copied: a log folder, the user's notes, a backup copy of that version (manifest and
    // all), and files in the package store. Returns them (path relative to the data directory,
    // content).
    QMap<QString, QByteArray> writeUserFiles(const QString &copiedVersion);
    // Adds a failure for each of files (as writeUserFiles returned them) that is not there as it
    // was.
    void expectUserFiles(const QMap<QString, QByteArray> &files);

    // A user's settings without the product: no uninstall entry, URL protocol or product settings.
    void forgetRegistration();

    // The manifest paths the server was asked for, in order.
    QList<QByteArray> manifestRequests() const;
    // The "type" values of the beacons the server saw, in order.
    QList<QByteArray> beaconTypes() const;

    RegistryHome home;
    TestHttpServer server;
    QString downloaded; // Downloads/Korvel.exe
    QByteArray out;
    QByteArray err;
    // Files (path in the release, content) that publish() adds to a release besides the client
    // (or instead of the sample client's library, under its name).
    QMap<QString, QByteArray> extraFiles;
    // Arguments publish() adds to the publisher's (signing).
    QStringList publishArguments;
};

// Registry and desktop, as the user's own settings hold them.
bool uninstallEntryExists();
bool protocolKeyExists();
QString uninstallValue(const QString &name); // null when missing; a DWORD as "0x..." on Windows
QString uninstallString();
// The uninstall command registered for the launcher at path, as the program writes it.
QString launcherCommand(const QString &path);
QString storedMachineId();
