#pragma once

#include <QString>

// The step of a task a report belongs to; the numbers are what the window and the sinks see.
enum class ReportStage : int {
    CatalogueAndManifest = 1,
    Downloads = 2,
    Commit = 3,
};

// How the window shows a report. ShownAsStatus goes to the status line; any other code is a
// failure the user must see (the window shows it in a box and ends the task). ShownAsStatus is
// not "no failure": the commit's failure is shown as a status too (see the table).
enum class ReportCode : int {
    ShownAsStatus = 0,
    TransferFailed = -1, // the server could not be reached or did not answer as it should
    DataRejected = -2,   // a file or body was there but could not be opened or accepted
};

// One kind of report: its step, its code and the text the user sees.
struct StatusReport {
    ReportStage stage;
    ReportCode code;
    const char16_t *text;
};

// Every report the steps make, in one table.
namespace status_reports {
constexpr StatusReport CheckingVersions{ReportStage::CatalogueAndManifest, ReportCode::ShownAsStatus,
                                        u"检查版本"};
constexpr StatusReport VersionFileUnreadable{ReportStage::CatalogueAndManifest, ReportCode::DataRejected,
                                             u"打开版本文件失败"};
constexpr StatusReport CheckingVersionsFailed{ReportStage::CatalogueAndManifest, ReportCode::TransferFailed,
                                              u"检查版本失败"};
constexpr StatusReport ManifestDownloadStarted{ReportStage::CatalogueAndManifest, ReportCode::ShownAsStatus,
                                               u"开始下载清单"};
constexpr StatusReport ManifestDownloadFailed{ReportStage::CatalogueAndManifest, ReportCode::TransferFailed,
                                              u"下载清单错误"};
constexpr StatusReport ManifestRejected{ReportStage::CatalogueAndManifest, ReportCode::DataRejected,
                                        u"清单解释错误"};
constexpr StatusReport DownloadStarted{ReportStage::Downloads, ReportCode::ShownAsStatus, u"开始下载"};
constexpr StatusReport DownloadFailed{ReportStage::Downloads, ReportCode::TransferFailed, u"下载错误"};
constexpr StatusReport CommitStarted{ReportStage::Commit, ReportCode::ShownAsStatus, u"开始安装"};
// A failure, shown as the status line: no error box, and the job then ends as after any failure
// nobody was told of.
constexpr StatusReport CommitFailed{ReportStage::Commit, ReportCode::ShownAsStatus, u"安装失败"};
} // namespace status_reports

// Where the steps of a task announce themselves and their failures; version and package are
// empty where they do not apply.
// Called on the thread that runs the task; an implementation that touches a window must post.
class StatusSink {
public:
    virtual ~StatusSink() = default;
    virtual void report(ReportStage stage, ReportCode code, const QString &version, const QString &package,
                        const QString &text) = 0;

    // Reports one of the table's reports.
    void report(const StatusReport &kind, const QString &version, const QString &package)
    {
        report(kind.stage, kind.code, version, package, QString::fromUtf16(kind.text));
    }
};

// The sink of a task that shows nothing (update and uninstall).
class NullStatusSink final : public StatusSink {
public:
    void report(ReportStage, ReportCode, const QString &, const QString &, const QString &) override {}
};
