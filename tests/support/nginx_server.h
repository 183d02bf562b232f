#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>

// Debian's nginx serving a directory tree on 127.0.0.1, for one test: a private prefix under
// workDir (configuration, pid file, logs, temporary paths), a free loopback port, static files
// with nginx's own ETag and 304 answers, and an empty 200 for "/c.gif". With tls, it speaks
// https (offering HTTP/2, as servers out there do) with a certificate for 127.0.0.1 issued by a
// CA made for this server alone (caFile). The master runs in the foreground as this test's
// child; the destructor stops it by its PID with SIGQUIT (and kills it and its workers by PID
// if that fails).
class NginxServer {
public:
    // root must be readable by nginx's unprivileged workers (make its directories 0755).
    // redirectTo: when given, every request but the beacon's is answered with a 302 to
    // redirectTo followed by the request's own path and query, as a server moved elsewhere.
    enum class Tls { Off, On };
    NginxServer(const QString &root, const QString &workDir, Tls tls = Tls::Off,
                const QString &redirectTo = {});
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    // Whether nginx is installed here at all (tests skip without it).
    static bool isAvailable();

    bool isRunning() const { return m_port != 0; }
    QString baseUrl() const; // "http://127.0.0.1:PORT", "https://..." with tls
    // The PEM file of the CA that issued the server's certificate (with tls).
    QString caFile() const { return m_work + QStringLiteral("/ca.pem"); }
    // nginx's own error output when it did not start.
    const QByteArray &startError() const { return m_startError; }

    // One request as the access log shows it.
    struct LogLine {
        QByteArray target; // "/bin/versions.xml", with query when there was one
        int status = 0;
    };
    // The access log so far (nginx writes each line when the request ends).
    QList<LogLine> accessLog() const;

private:
    bool makeCertificates();
    bool start(const QString &root, quint16 port);
    void stop();

    QString m_work;
    Tls m_tls;
    QString m_redirectTo;
    QProcess m_process;
    quint16 m_port = 0;
    QByteArray m_startError;
};
