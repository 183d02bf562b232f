#pragma once

#include "base/job_mode.h"
#include "engine/status_sink.h"
#include "ui/layered_view.h"

#include <QString>

#include <memory>

class ProgressWindow;

// The body of a job's worker thread (the job runner's). It reports through the window's
// StatusSink, then posts one FinishedMessage and, on success and after a pause, a
// QuitMessage(0). It touches the window only through post() and report().
using JobWorker = void (*)(ProgressWindow *window);

// A piece of work for the window thread, handed to ProgressWindow::post, which owns it from
// there on; the window thread runs it once and deletes it.
class UiMessage {
public:
    virtual ~UiMessage() = default;
    virtual void run(ProgressWindow &window) = 0;
};

// Shows the window for the job's mode and starts the worker. Posted once by the job runner.
class StartMessage final : public UiMessage {
public:
    void run(ProgressWindow &window) override;
};

// One report of the worker: code 0 sets the status line, any other code ends the job with an
// error box and quit code -1.
class ReportMessage final : public UiMessage {
public:
    ReportMessage(ReportCode code, const QString &package, const QString &text);
    void run(ProgressWindow &window) override;

private:
    ReportCode m_code;
    QString m_package;
    QString m_text;
};

// The worker's task ended; on success the bar moves near its end.
class FinishedMessage final : public UiMessage {
public:
    explicit FinishedMessage(bool success) : m_success(success) {}
    void run(ProgressWindow &window) override;

private:
    bool m_success;
};

// Ends the message loop with code; code 0 after an install first starts the installed
// launcher.
class QuitMessage final : public UiMessage {
public:
    explicit QuitMessage(int code) : m_code(code) {}
    void run(ProgressWindow &window) override;

private:
    int m_code;
};

// The window of one job: a fixed 493 × 348 frameless translucent window with a background,
// a picture, a progress bar that creeps on a 200 ms timer, a minimise button and three texts
// (title, status, percent). Shown for install and uninstall, hidden for update.
//
// Use (job runner, on the thread that will run the loop):
//     auto system = platform::openWindowSystem();
//     ProgressWindow window(*system, mode, jobWorker);   // window exists, hidden, centred
//     window.post(std::make_unique<StartMessage>());
//     const int exitCode = system->runLoop();            // the quit code: 0 or -1
// The worker reports through the StatusSink interface and posts FinishedMessage and
// QuitMessage with post(). Everything else is for the window thread only.
class ProgressWindow final : public ViewEvents, public StatusSink {
public:
    static constexpr int windowWidth = 493;
    static constexpr int windowHeight = 348;
    static constexpr int progressTimer = 0;
    static constexpr int progressTimerPeriodMs = 200;

    // Builds the widgets and creates the window (hidden, centred in the work area, bar 1
    // pixel wide, texts empty). worker runs on its own thread once Start runs; null: none.
    // system must outlive the window.
    ProgressWindow(platform::WindowSystem &system, JobMode mode, JobWorker worker);
    ~ProgressWindow() override;
    ProgressWindow(const ProgressWindow &) = delete;
    ProgressWindow &operator=(const ProgressWindow &) = delete;

    // Any thread. Hands message over to the window thread, which runs and deletes it. When
    // the window does not exist the message is deleted at once and false returned.
    bool post(std::unique_ptr<UiMessage> message);

    // StatusSink, on the worker thread: posts the report as a ReportMessage. stage and
    // version are not shown.
    void report(ReportStage stage, ReportCode code, const QString &version, const QString &package,
                const QString &text) override;

    // Window thread. n > 0: the bar becomes n pixels wide, n ≤ 0: the fill image's width + n;
    // never wider than 432 pixels (99 %). The percent text follows, truncated.
    void setProgress(int n);

    int mode() const { return m_mode; }
    platform::WindowSystem &windowSystem() const { return m_system; }
    LayeredView &view() { return m_view; }
    const LayeredView &view() const { return m_view; }
    int progressWidth() const;
    QString titleText() const;
    QString statusText() const;
    QString percentText() const;
    Rect pictureRect() const;
    Widget *minimiseButton() const { return m_minimiseButton; }

    // The steps of the messages; window thread.
    void start();
    void showReport(ReportCode code, const QString &package, const QString &text);
    void finish(bool success);
    void quit(int code);

    // ViewEvents
    void onClick(LayeredView &view, Widget *widget) override;
    void onTimer(LayeredView &view, int id) override;
    bool onUserMessage(LayeredView &view, int n, std::uintptr_t wParam, std::intptr_t lParam) override;
    // The job cannot go on without its window: the close ends it with -1.
    bool onClose(LayeredView &view) override;

private:
    // Builds the widgets into m_view and creates the window; from the constructor, once
    // m_view exists.
    void buildWidgets();
    void setCaption(const QString &caption);
    void startWorker();

    platform::WindowSystem &m_system;
    int m_mode;
    JobWorker m_worker;
    ImageWidget *m_fill = nullptr;
    ButtonWidget *m_minimiseButton = nullptr;
    ImageWidget *m_picture = nullptr;
    LabelWidget *m_titleLabel = nullptr;
    LabelWidget *m_statusLabel = nullptr;
    LabelWidget *m_percentLabel = nullptr;
    LayeredView m_view;
};
