#include "ui/progress_window.h"

#include "base/locations.h"
#include "base/process_start.h"
#include "base/running_instances.h"
#include "install/commit.h"
#include "platform/command_line.h"
#include "platform/process.h"
#include "ui/resources.h"

#include <QDir>

#include <algorithm>

namespace {

const char16_t installTitle[] = u"安装Korvel";
const char16_t uninstallTitle[] = u"卸载Korvel";
const char16_t stillRunningText[] = u"检测到Korvel正在运行，请退出所有Korvel进程后重试。";
const char16_t statusSeparator[] = u"：";

// The user message that carries a UiMessage.
constexpr int uiMessageNumber = 0;
// A successful task moves the bar this many pixels short of the fill image's width.
constexpr int finishedShortfall = 6;

Image embeddedImage(PackedImageId id)
{
    const PackedResource resource = packedImage(id);
    return loadPackedImage(resource.data, resource.size);
}

Rect at(int left, int top, const Image &image)
{
    return Rect{left, top, left + image.width(), top + image.height()};
}

} // namespace

void StartMessage::run(ProgressWindow &window)
{
    window.start();
}

ReportMessage::ReportMessage(ReportCode code, const QString &package, const QString &text)
    : code_(code), package_(package), text_(text)
{
}

void ReportMessage::run(ProgressWindow &window)
{
    window.showReport(code_, package_, text_);
}

void FinishedMessage::run(ProgressWindow &window)
{
    window.finish(success_);
}

void QuitMessage::run(ProgressWindow &window)
{
    window.quit(code_);
}

ProgressWindow::ProgressWindow(platform::WindowSystem &system, JobMode mode, JobWorker worker)
    : system_(system), mode_(static_cast<int>(mode)), worker_(worker), view_(system, this)
{
    buildWidgets();
}

ProgressWindow::~ProgressWindow() = default;

void ProgressWindow::buildWidgets()
{
    LayeredView &view = view_;
    const Image background = embeddedImage(PackedImageId::Background);
    const Image slogan = embeddedImage(PackedImageId::Slogan);
    const Image track = embeddedImage(PackedImageId::Track);
    const Image fill = embeddedImage(PackedImageId::Fill);
    const Image buttonNormal = embeddedImage(PackedImageId::ButtonNormal);
    const Image buttonHover = embeddedImage(PackedImageId::ButtonHover);

    auto *backgroundWidget = new ImageWidget(background, Rect{0, 0, windowWidth, windowHeight});
    picture_ = new ImageWidget(slogan, at(18, 155, slogan));
    auto *trackWidget = new ImageWidget(track, at(30, 316, track));
    fill_ = new ImageWidget(fill, at(30, 316, fill));
    minimiseButton_ = new ButtonWidget(buttonNormal, buttonHover, buttonHover, 465, 11);
    titleLabel_ = new LabelWidget(15, 15);
    statusLabel_ = new LabelWidget(30, 295);
    percentLabel_ = new LabelWidget(444, 295);

    NativeWindow &window = view.window();
    const Rect current = window.rect();
    window.setRect(Rect{current.left, current.top, current.left + windowWidth, current.top + windowHeight});

    Widget *const layout[] = {backgroundWidget, picture_, trackWidget, fill_, minimiseButton_,
                              titleLabel_, statusLabel_, percentLabel_};
    view.setWidgets(LayeredView::WidgetList::copyOf(layout, static_cast<int>(std::size(layout))));

    window.create();
    window.show(platform::ShowCommand::Hide);
    window.centreInWorkArea();

    const Rect bar = fill_->rect();
    fill_->setRect(Rect{bar.left, bar.top, bar.left + 1, bar.bottom});
}

void ProgressWindow::setCaption(const QString &caption)
{
    titleLabel_->setText(caption);
    view_.window().setTitle(caption);
}

void ProgressWindow::start()
{
    NativeWindow &window = view_.window();
    switch (mode_) {
    case static_cast<int>(JobMode::Install):
        setCaption(QString::fromUtf16(installTitle));
        window.setTimer(progressTimer, progressTimerPeriodMs);
        view_.redraw();
        window.show(platform::ShowCommand::Show);
        break;
    case static_cast<int>(JobMode::Uninstall): {
        const Image farewell = embeddedImage(PackedImageId::Farewell);
        picture_->setImage(farewell);
        picture_->resize(farewell.width(), farewell.height());
        setCaption(QString::fromUtf16(uninstallTitle));
        view_.redraw();
        window.show(platform::ShowCommand::Show);
        // Removing files that another copy of this program is still running from would
        // leave a broken half; the user has to end those first.
        if (countRunningInstances(programFileInfo()) > 1) {
            system_.messageBox(0, QString::fromUtf16(stillRunningText));
            post(std::make_unique<QuitMessage>(-1));
            return;
        }
        window.setTimer(progressTimer, progressTimerPeriodMs);
        break;
    }
    default:
        break; // update runs unseen
    }
    startWorker();
}

void ProgressWindow::startWorker()
{
    if (!worker_) return;
    const JobWorker worker = worker_;
    ProgressWindow *self = this;
    // Without a worker nothing would ever end the job; end it as a failure instead.
    if (!platform::startDetachedThread([worker, self] { worker(self); })) post(std::make_unique<QuitMessage>(-1));
}

bool ProgressWindow::post(std::unique_ptr<UiMessage> message)
{
    if (!message) return false;
    // The window system's queue holds the bare pointer until onUserMessage takes it back.
    if (!view_.window().post(uiMessageNumber, 0, reinterpret_cast<std::intptr_t>(message.get()))) return false;
    message.release();
    return true;
}

void ProgressWindow::report(ReportStage, ReportCode code, const QString &, const QString &package,
                            const QString &text)
{
    post(std::make_unique<ReportMessage>(code, package, text));
}

void ProgressWindow::showReport(ReportCode code, const QString &package, const QString &text)
{
    // Also the commit's failure, which is reported with this code.
    if (code == ReportCode::Announce) {
        statusLabel_->setText(text + QString::fromUtf16(statusSeparator) + package);
        system_.announceStatus(view_.window().id(), statusLabel_->text());
        return;
    }
    view_.window().killTimer(progressTimer);
    system_.messageBox(view_.window().id(), package + text);
    post(std::make_unique<QuitMessage>(-1));
}

void ProgressWindow::setProgress(int n)
{
    const int fullWidth = fill_->image().width();
    if (fullWidth <= 0) return;
    const int target = n > 0 ? n : fullWidth + n;
    const int width = std::min(target, fullWidth - 1);
    const Rect bar = fill_->rect();
    fill_->setRect(Rect{bar.left, bar.top, bar.left + width, bar.bottom});
    const int percent = width * 100 / fullWidth;
    percentLabel_->setText(QStringLiteral("%1%").arg(percent));
}

void ProgressWindow::finish(bool success)
{
    const int fullWidth = fill_->image().width();
    if (success && progressWidth() < fullWidth - finishedShortfall) setProgress(-finishedShortfall);
}

void ProgressWindow::quit(int code)
{
    if (code == 0 && mode_ == static_cast<int>(JobMode::Install)) {
        // Not waited for, and a failed start goes unnoticed: the install itself succeeded.
        startProcess(platform::buildCommandLine(QDir(dataDirectory()).filePath(QLatin1String(install::LauncherFileName)), QStringList()));
    }
    system_.postQuit(code);
}

void ProgressWindow::onClick(LayeredView &view, Widget *widget)
{
    if (widget && widget == minimiseButton_) {
        view.window().create();
        view.window().show(platform::ShowCommand::Minimise);
    }
}

void ProgressWindow::onTimer(LayeredView &, int id)
{
    if (id == progressTimer) setProgress(progressWidth() + 1);
}

bool ProgressWindow::onUserMessage(LayeredView &, int n, std::uintptr_t, std::intptr_t lParam)
{
    if (n != uiMessageNumber) return false;
    const std::unique_ptr<UiMessage> message(reinterpret_cast<UiMessage *>(lParam));
    if (message) message->run(*this);
    return true;
}

bool ProgressWindow::onClose(LayeredView &)
{
    view_.window().killTimer(progressTimer);
    post(std::make_unique<QuitMessage>(-1));
    return true;
}

int ProgressWindow::progressWidth() const
{
    return fill_->rect().width();
}

QString ProgressWindow::titleText() const
{
    return titleLabel_->text();
}

QString ProgressWindow::statusText() const
{
    return statusLabel_->text();
}

QString ProgressWindow::percentText() const
{
    return percentLabel_->text();
}

Rect ProgressWindow::pictureRect() const
{
    return picture_->rect();
}
