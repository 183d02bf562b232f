#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QTemporaryDir>

// A private HOME for one test: HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_CONFIG_DIRS and
// TMPDIR point into a fresh temporary directory, so nothing a test does touches the user's
// files, and KORVEL_HEADLESS is 1, so programs it starts show no window. The old values come
// back when the object goes. For the Windows program (see support/target.h) it also makes the
// test's Wine prefix, and stops every process of that prefix when it goes.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome &) = delete;
    TempHome &operator=(const TempHome &) = delete;

    QString root() const { return m_dir.path(); }
    QString home() const;
    QString dataHome() const;   // $XDG_DATA_HOME (Windows: the prefix's roaming AppData)
    QString configHome() const; // $XDG_CONFIG_HOME
    QString configDirs() const; // $XDG_CONFIG_DIRS (the system-wide settings fallback)
    QString temp() const;       // $TMPDIR
    // Where the program keeps its installation: dataHome() + "/ostrel/korvel".
    QString dataDirectory() const;

    // Sets a variable for the rest of this object's life (restored with the others).
    void setEnv(const char *name, const QByteArray &value);

private:
    QTemporaryDir m_dir;
    QList<QPair<QByteArray, QPair<bool, QByteArray>>> m_saved;
};

// Writes data to path, creating the parent directories. Returns false on any failure.
bool writeFile(const QString &path, const QByteArray &data);
// The whole file, or an empty array when it cannot be read.
QByteArray readFile(const QString &path);
// Every file below root (hidden ones too), by its path relative to root, with its content.
QMap<QString, QByteArray> filesBelow(const QString &root);
// Every file below root with its identity (inode): a file written anew, or renamed over, gets
// another one, so equal maps mean nothing below root was written.
QMap<QString, quint64> fileIdentities(const QString &root);
