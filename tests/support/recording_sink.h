#pragma once

#include "engine/status_sink.h"

#include <QList>
#include <QString>

#include <ostream>

// One report as a task made it, so a test can compare the whole sequence.
struct Report {
    int stage;
    int code;
    QString version;
    QString package;
    QString text;
    bool operator==(const Report &o) const
    {
        return stage == o.stage && code == o.code && version == o.version && package == o.package
            && text == o.text;
    }
};

inline void PrintTo(const Report &r, std::ostream *os)
{
    *os << "{" << r.stage << ", " << r.code << ", \"" << r.version.toStdString() << "\", \""
        << r.package.toStdString() << "\", \"" << r.text.toStdString() << "\"}";
}

// Keeps every report it is given, on the calling thread.
class RecordingSink : public StatusSink {
public:
    // Kept as the numbers the window and the other sinks see.
    void report(ReportStage stage, ReportCode code, const QString &version, const QString &package,
                const QString &text) override
    {
        reports.append({int(stage), int(code), version, package, text});
    }
    QList<Report> reports;
};
