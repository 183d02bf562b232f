#include "support/nginx_server.h"

#include "support/child_process.h"
#include "support/http_server.h"
#include "support/temp_home.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString NginxProgram = QStringLiteral("/usr/sbin/nginx");

QByteArray configuration(const QString &work, const QString &root, quint16 port, NginxServer::Tls tls,
                         const QString &redirectTo)
{
    const QString redirect = redirectTo.isEmpty()
        ? QString()
        : QStringLiteral("    location / { return 302 %1$request_uri; }\n").arg(redirectTo);
    const QString listen = tls == NginxServer::Tls::On
        ? QStringLiteral("    listen 127.0.0.1:%1 ssl http2;\n"
                         "    ssl_certificate %2/server.pem;\n"
                         "    ssl_certificate_key %2/server.key;\n")
              .arg(port)
              .arg(work)
        : QStringLiteral("    listen 127.0.0.1:%1;\n").arg(port);
    return QStringLiteral("daemon off;\n"
                          "worker_processes 1;\n"
                          "pid %1/nginx.pid;\n"
                          "error_log %1/logs/error.log;\n"
                          "events { worker_connections 64; }\n"
                          "http {\n"
                          "  access_log %1/logs/access.log;\n"
                          "  client_body_temp_path %1/tmp/body;\n"
                          "  proxy_temp_path %1/tmp/proxy;\n"
                          "  fastcgi_temp_path %1/tmp/fastcgi;\n"
                          "  uwsgi_temp_path %1/tmp/uwsgi;\n"
                          "  scgi_temp_path %1/tmp/scgi;\n"
                          "  types { application/xml xml; application/x-7z-compressed 7z; }\n"
                          "  server {\n"
                          "%3"
                          "    root %2;\n"
                          "    location = /c.gif { return 200 \"\"; }\n"
                          "%4"
                          "  }\n"
                          "}\n")
        .arg(work, root, listen, redirect)
        .toUtf8();
}

bool accepts(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

} // namespace

NginxServer::NginxServer(const QString &root, const QString &workDir, Tls tls, const QString &redirectTo)
    : m_work(workDir), m_tls(tls), m_redirectTo(redirectTo)
{
    QDir().mkpath(m_work + QStringLiteral("/logs"));
    QDir().mkpath(m_work + QStringLiteral("/tmp"));
    if (m_tls == Tls::On && !makeCertificates())
        return;
    // The port is free when asked for, but someone may take it before nginx binds it: a few
    // tries with fresh ports.
    for (int attempt = 0; attempt < 5 && !m_port; ++attempt) {
        const quint16 port = TestHttpServer::closedPort();
        if (start(root, port))
            m_port = port;
    }
}

NginxServer::~NginxServer()
{
    stop();
}

bool NginxServer::isAvailable()
{
    return QFileInfo(NginxProgram).isExecutable();
}

QString NginxServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(m_tls == Tls::On ? "https" : "http").arg(m_port);
}

bool NginxServer::makeCertificates()
{
    // A CA of its own and a server certificate for the loopback address, valid for two days.
    const QString ca = m_work + QStringLiteral("/ca");
    const QString server = m_work + QStringLiteral("/server");
    const QStringList steps[] = {
        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Korvel test CA",
         "-addext", "basicConstraints=critical,CA:TRUE", "-keyout", ca + ".key", "-out", ca + ".pem"},
        {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", server + ".key", "-out",
         server + ".csr"},
        {"x509", "-req", "-in", server + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key", "-CAcreateserial",
         "-days", "2", "-extfile", server + ".ext", "-out", server + ".pem"},
    };
    if (!writeFile(server + ".ext", "subjectAltName=IP:127.0.0.1\n"))
        return false;
    for (const QStringList &step : steps) {
        QByteArray err;
        if (runProgram(QStringLiteral("openssl"), step, m_work, nullptr, &err) != 0) {
            m_startError = "openssl " + step.join(' ').toUtf8() + ": " + err;
            return false;
        }
    }
    return true;
}

bool NginxServer::start(const QString &root, quint16 port)
{
    const QString conf = m_work + QStringLiteral("/nginx.conf");
    if (!writeFile(conf, configuration(m_work, root, port, m_tls, m_redirectTo)))
        return false;
    // -e: the error log is opened before the configuration is read; the default is a system
    // path this test has no business writing to.
    m_process.start(NginxProgram,
                    {QStringLiteral("-p"), m_work, QStringLiteral("-e"),
                     m_work + QStringLiteral("/logs/error.log"), QStringLiteral("-c"), conf});
    if (!m_process.waitForStarted(10000))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        if (m_process.state() == QProcess::NotRunning)
            break;
        if (accepts(port))
            return true;
        QThread::msleep(20);
    }
    m_startError = m_process.readAllStandardError() + readFile(m_work + QStringLiteral("/logs/error.log"));
    stop();
    return false;
}

void NginxServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    const qint64 master = m_process.processId();
    // A graceful stop ends the workers too; a master killed outright would leave them behind.
    ::kill(pid_t(master), SIGQUIT);
    if (m_process.waitForFinished(10000))
        return;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(entry));
        if (status.contains("\nPPid:\t" + QByteArray::number(master) + '\n'))
            killPid(entry.toLongLong());
    }
    m_process.kill();
    m_process.waitForFinished(5000);
}

QList<NginxServer::LogLine> NginxServer::accessLog() const
{
    // The default "combined" format: ... "GET /path HTTP/1.1" 200 123 ...
    static const QRegularExpression request(QStringLiteral("\"[A-Z]+ (\\S+) HTTP/[0-9.]+\" ([0-9]{3}) "));
    QList<LogLine> lines;
    const QList<QByteArray> raw = readFile(m_work + QStringLiteral("/logs/access.log")).split('\n');
    for (const QByteArray &line : raw) {
        const QRegularExpressionMatch match = request.match(QString::fromUtf8(line));
        if (match.hasMatch())
            lines.append({match.captured(1).toUtf8(), match.captured(2).toInt()});
    }
    return lines;
}
