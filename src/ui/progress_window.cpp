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
    : m_code(code), m_package(package), m_text(text)
{
}

void ReportMessage::run(ProgressWindow &window)
{
    window.showReport(m_code, m_package, m_text);
}

void FinishedMessage::run(ProgressWindow &window)
{
    window.finish(m_success);
}

void QuitMessage::run(ProgressWindow &window)
{
    window.quit(m_code);
}

ProgressWindow::ProgressWindow(platform::WindowSystem &system, JobMode mode, JobWorker worker)
    : m_system(system), m_mode(static_cast<int>(mode)), m_worker(worker), m_view(system, this)
{
    buildWidgets();
}

ProgressWindow::~ProgressWindow() = default;

void ProgressWindow::buildWidgets()
{
    LayeredView &view = m_view;
    const Image background = embeddedImage(PackedImageId::Background);
    const Image slogan = embeddedImage(PackedImageId::Slogan);
    const Image track = embeddedImage(PackedImageId::Track);
    const Image fill = embeddedImage(PackedImageId::Fill);
    const Image buttonNormal = embeddedImage(PackedImageId::ButtonNormal);
    const Image buttonHover = embeddedImage(PackedImageId::ButtonHover);

    auto *backgroundWidget = new ImageWidget(background, Rect{0, 0, windowWidth, windowHeight});
    m_picture = new ImageWidget(slogan, at(18, 155, slogan));
    auto *trackWidget = new ImageWidget(track, at(30, 316, track));
    m_fill = new ImageWidget(fill, at(30, 316, fill));
    m_minimiseButton = new ButtonWidget(buttonNormal, buttonHover, buttonHover, 465, 11);
    m_titleLabel = new LabelWidget(15, 15);
    m_statusLabel = new LabelWidget(30, 295);
    m_percentLabel = new LabelWidget(444, 295);

    NativeWindow &window = view.window();
    const Rect current = window.rect();
    window.setRect(Rect{current.left, current.top, current.left + windowWidth, current.top + windowHeight});

    Widget *const layout[] = {backgroundWidget, m_picture,    trackWidget,   m_fill,
                              m_minimiseButton, m_titleLabel, m_statusLabel, m_percentLabel};
    view.setWidgets(LayeredView::WidgetList::copyOf(layout, static_cast<int>(std::size(layout))));

    window.create();
    window.show(platform::ShowCommand::Hide);
    window.centreInWorkArea();

    const Rect bar = m_fill->rect();
    m_fill->setRect(Rect{bar.left, bar.top, bar.left + 1, bar.bottom});
}

void ProgressWindow::setCaption(const QString &caption)
{
    m_titleLabel->setText(caption);
    m_view.window().setTitle(caption);
}

void ProgressWindow::start()
{
    NativeWindow &window = m_view.window();
    switch (m_mode) {
    case static_cast<int>(JobMode::Install):
        setCaption(QString::fromUtf16(installTitle));
        window.setTimer(progressTimer, progressTimerPeriodMs);
        m_view.redraw();
        window.show(platform::ShowCommand::Show);
        break;
    case static_cast<int>(JobMode::Uninstall): {
        const Image farewell = embeddedImage(PackedImageId::Farewell);
        m_picture->setImage(farewell);
        m_picture->resize(farewell.width(), farewell.height());
        setCaption(QString::fromUtf16(uninstallTitle));
        m_view.redraw();
        window.show(platform::ShowCommand::Show);
        // Removing files that another copy of this program is still running from would
        // leave a broken half; the user has to end those first.
        if (countRunningInstances(programFileInfo()) > 1) {
            m_system.messageBox(0, QString::fromUtf16(stillRunningText));
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
    if (!m_worker)
        return;
    const JobWorker worker = m_worker;
    ProgressWindow *self = this;
    // Without a worker nothing would ever end the job; end it as a failure instead.
    if (!platform::startDetachedThread([worker, self] { worker(self); }))
        post(std::make_unique<QuitMessage>(-1));
}

bool ProgressWindow::post(std::unique_ptr<UiMessage> message)
{
    if (!message)
        return false;
    // The window system's queue holds the bare pointer until onUserMessage takes it back.
    if (!m_view.window().post(uiMessageNumber, 0, reinterpret_cast<std::intptr_t>(message.get())))
        return false;
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
    // Also the commit's failure, which is shown as a status.
    if (code == ReportCode::ShownAsStatus) {
        m_statusLabel->setText(text + QString::fromUtf16(statusSeparator) + package);
        m_system.announceStatus(m_view.window().id(), m_statusLabel->text());
        return;
    }
    m_view.window().killTimer(progressTimer);
    m_system.messageBox(m_view.window().id(), package + text);
    post(std::make_unique<QuitMessage>(-1));
}

void ProgressWindow::setProgress(int n)
{
    const int fullWidth = m_fill->image().width();
    if (fullWidth <= 0)
        return;
    const int target = n > 0 ? n : fullWidth + n;
    const int width = std::min(target, fullWidth - 1);
    const Rect bar = m_fill->rect();
    m_fill->setRect(Rect{bar.left, bar.top, bar.left + width, bar.bottom});
    const int percent = width * 100 / fullWidth;
    m_percentLabel->setText(QStringLiteral("%1%").arg(percent));
}

void ProgressWindow::finish(bool success)
{
    const int fullWidth = m_fill->image().width();
    if (success && progressWidth() < fullWidth - finishedShortfall)
        setProgress(-finishedShortfall);
}

void ProgressWindow::quit(int code)
{
    if (code == 0 && m_mode == static_cast<int>(JobMode::Install)) {
        // Not waited for, and a failed start goes unnoticed: the install itself succeeded.
        startProcess(platform::buildCommandLine(
            QDir(dataDirectory()).filePath(QLatin1String(install::LauncherFileName)), QStringList()));
    }
    m_system.postQuit(code);
}

void ProgressWindow::onClick(LayeredView &view, Widget *widget)
{
    if (widget && widget == m_minimiseButton) {
        view.window().create();
        view.window().show(platform::ShowCommand::Minimise);
    }
}

void ProgressWindow::onTimer(LayeredView &, int id)
{
    if (id == progressTimer)
        setProgress(progressWidth() + 1);
}

bool ProgressWindow::onUserMessage(LayeredView &, int n, std::uintptr_t, std::intptr_t lParam)
{
    if (n != uiMessageNumber)
        return false;
    const std::unique_ptr<UiMessage> message(reinterpret_cast<UiMessage *>(lParam));
    if (message)
        message->run(*this);
    return true;
}

bool ProgressWindow::onClose(LayeredView &)
{
    m_view.window().killTimer(progressTimer);
    post(std::make_unique<QuitMessage>(-1));
    return true;
}

int ProgressWindow::progressWidth() const
{
    return m_fill->rect().width();
}

QString ProgressWindow::titleText() const
{
    return m_titleLabel->text();
}

QString ProgressWindow::statusText() const
{
    return m_statusLabel->text();
}

QString ProgressWindow::percentText() const
{
    return m_percentLabel->text();
}

Rect ProgressWindow::pictureRect() const
{
    return m_picture->rect();
}
