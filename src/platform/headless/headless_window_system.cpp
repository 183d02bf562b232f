#include "platform/posix/message_queue.h"
#include "platform/window_system.h"

#include <QByteArray>

#include <cstdio>
#include <map>

namespace platform {

namespace {

// The work area a headless run pretends to have: a common full-HD screen less a task bar.
constexpr Rect headlessWorkArea{0, 0, 1920, 1040};

// One line on standard error for every text the user would have read.
void writeLine(const QString &text)
{
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line.replace(QLatin1Char('\r'), QLatin1Char(' '));
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

class HeadlessWindowSystem final : public WindowSystem {
public:
    WindowId createWindow(WindowEvents *events, const Rect &client, const WindowStyle &style) override
    {
        const WindowId id = nextId_++;
        windows_[id] = Window{events, client, style, false};
        queue_.addWindow(id);
        return id;
    }

    void destroyWindow(WindowId window) override
    {
        windows_.erase(window);
        queue_.forgetWindow(window);
    }

    void setStyle(WindowId window, const WindowStyle &style) override
    {
        if (Window *w = find(window)) w->style = style;
    }

    void setTitle(WindowId, const QString &) override {}
    void setIcon(WindowId, int, int, const std::uint32_t *) override {}

    void show(WindowId window, ShowCommand command) override
    {
        if (Window *w = find(window)) w->visible = command != ShowCommand::Hide;
    }

    bool isVisible(WindowId window) const override
    {
        const auto it = windows_.find(window);
        return it != windows_.end() && it->second.visible;
    }

    void move(WindowId window, const Rect &client) override
    {
        if (Window *w = find(window)) w->rect = client;
    }

    Rect geometry(WindowId window) const override
    {
        const auto it = windows_.find(window);
        return it == windows_.end() ? Rect{} : it->second.rect;
    }

    // The frame was composed by the caller already; nobody is there to see it.
    void pushFrame(WindowId, const std::uint8_t *, int, int) override {}

    void announceStatus(WindowId, const QString &text) override { writeLine(text); }

    Rect workArea() const override { return headlessWorkArea; }

    void setTimer(WindowId window, int id, int periodMs) override
    {
        if (find(window)) queue_.setTimer(window, id, periodMs);
    }

    void killTimer(WindowId window, int id) override { queue_.killTimer(window, id); }

    bool post(WindowId window, int n, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        return queue_.post(window, n, wParam, lParam);
    }

    void postQuit(int code) override { queue_.postQuit(code); }

    int runLoop() override
    {
        int code = 0;
        while (!queue_.quitPending(&code)) {
            MessageQueue::Item item;
            if (queue_.takeNext(&item)) {
                deliver(item);
                continue;
            }
            waitForEvents(queue_, -1, queue_.msUntilNextTimer());
            queue_.drain();
        }
        queue_.clearQuit();
        return code;
    }

    void messageBox(WindowId, const QString &text) override { writeLine(text); }

    bool isHeadless() const override { return true; }

private:
    struct Window {
        WindowEvents *events = nullptr;
        Rect rect;
        WindowStyle style;
        bool visible = false;
    };

    Window *find(WindowId window)
    {
        const auto it = windows_.find(window);
        return it == windows_.end() ? nullptr : &it->second;
    }

    void deliver(const MessageQueue::Item &item)
    {
        Window *w = find(item.window);
        if (!w || !w->events) return;
        if (item.kind == MessageQueue::Item::Timer)
            w->events->timer(item.n);
        else
            w->events->userMessage(item.n, item.wParam, item.lParam);
    }

    std::map<WindowId, Window> windows_;
    WindowId nextId_ = 1;
    MessageQueue queue_;
};

} // namespace

std::unique_ptr<WindowSystem> openHeadlessWindowSystem()
{
    return std::make_unique<HeadlessWindowSystem>();
}

} // namespace platform
