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
        const WindowId id = m_nextId++;
        m_windows[id] = Window{events, client, style, false};
        m_queue.addWindow(id);
        return id;
    }

    void destroyWindow(WindowId window) override
    {
        m_windows.erase(window);
        m_queue.forgetWindow(window);
    }

    void setStyle(WindowId window, const WindowStyle &style) override
    {
        if (Window *w = find(window))
            w->style = style;
    }

    void setTitle(WindowId, const QString &) override {}
    void setIcon(WindowId, int, int, const std::uint32_t *) override {}

    void show(WindowId window, ShowCommand command) override
    {
        if (Window *w = find(window))
            w->visible = command != ShowCommand::Hide;
    }

    bool isVisible(WindowId window) const override
    {
        const auto it = m_windows.find(window);
        return it != m_windows.end() && it->second.visible;
    }

    void move(WindowId window, const Rect &client) override
    {
        if (Window *w = find(window))
            w->rect = client;
    }

    Rect geometry(WindowId window) const override
    {
        const auto it = m_windows.find(window);
        return it == m_windows.end() ? Rect{} : it->second.rect;
    }

    // The frame was composed by the caller already; nobody is there to see it.
    void pushFrame(WindowId, const std::uint8_t *, int, int) override {}

    void announceStatus(WindowId, const QString &text) override { writeLine(text); }

    Rect workArea() const override { return headlessWorkArea; }

    void setTimer(WindowId window, int id, int periodMs) override
    {
        if (find(window))
            m_queue.setTimer(window, id, periodMs);
    }

    void killTimer(WindowId window, int id) override { m_queue.killTimer(window, id); }

    bool post(WindowId window, int n, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        return m_queue.post(window, n, wParam, lParam);
    }

    void postQuit(int code) override { m_queue.postQuit(code); }

    int runLoop() override
    {
        int code = 0;
        while (!m_queue.quitPending(&code)) {
            MessageQueue::Item item;
            if (m_queue.takeNext(&item)) {
                deliver(item);
                continue;
            }
            waitForEvents(m_queue, -1, m_queue.msUntilNextTimer());
            m_queue.drain();
        }
        m_queue.clearQuit();
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
        const auto it = m_windows.find(window);
        return it == m_windows.end() ? nullptr : &it->second;
    }

    void deliver(const MessageQueue::Item &item)
    {
        Window *w = find(item.window);
        if (!w || !w->events)
            return;
        if (item.kind == MessageQueue::Item::Timer)
            w->events->timer(item.n);
        else
            w->events->userMessage(item.n, item.wParam, item.lParam);
    }

    std::map<WindowId, Window> m_windows;
    WindowId m_nextId = 1;
    MessageQueue m_queue;
};

} // namespace

std::unique_ptr<WindowSystem> openHeadlessWindowSystem()
{
    return std::make_unique<HeadlessWindowSystem>();
}

} // namespace platform
