// Widgets and the layered view on the headless window system: label rendering, hit testing,
// the mouse table, and the window's placement.
#include "images.h"
#include "platform/window_system.h"
#include "ui/layered_view.h"
#include "ui/native_window.h"
#include "ui/widget.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// Builds a 100 × 60 window: an opaque background (caption), a button at (70, 10), a label.
class Owner : public ViewEvents {
public:
    void build(LayeredView &view)
    {
        background = new ImageWidget(filled(100, 60, 0xff000010u), Rect{0, 0, 100, 60});
        button = new ButtonWidget(filled(10, 10, 0xff0000aau), filled(10, 10, 0xff00bb00u),
                                  filled(10, 10, 0xffcc0000u), 70, 10);
        label = new LabelWidget(5, 5);
        view.window().setRect(Rect{50, 50, 150, 110});
        Widget *list[] = {background, button, label};
        view.setWidgets(LayeredView::WidgetList::copyOf(list, 3));
        view.window().create();
    }
    void onClick(LayeredView &, Widget *widget) override { clicks.push_back(widget); }
    void onTimer(LayeredView &, int) override {}
    bool onUserMessage(LayeredView &, int, std::uintptr_t, std::intptr_t) override { return false; }

    ImageWidget *background = nullptr;
    ButtonWidget *button = nullptr;
    LabelWidget *label = nullptr;
    std::vector<Widget *> clicks;
};

platform::MouseEvent mouse(platform::MouseAction action, int x, int y)
{
    return platform::MouseEvent{action, platform::MouseButton::Left, x, y};
}

class ViewTest : public ::testing::Test {
protected:
    std::unique_ptr<platform::WindowSystem> system = platform::openHeadlessWindowSystem();
    Owner owner;
    LayeredView view{*system, &owner};

    ViewTest() { owner.build(view); }

    std::uint32_t buttonPixel() const { return view.backBuffer().pixelAt(75, 15); }
};

} // namespace

TEST(Label, EveryTouchedPixelGetsTheFullColourAndBlackStaysTransparent)
{
    platform::TextBitmap text;
    text.width = 4;
    text.height = 1;
    text.coverage = {0, 1, 128, 255};
    const Image image = LabelWidget::textImage(text, 0xff336699u);
    EXPECT_EQ(image.pixelAt(0, 0), 0u);
    EXPECT_EQ(image.pixelAt(1, 0), 0xff336699u);
    EXPECT_EQ(image.pixelAt(2, 0), 0xff336699u);
    EXPECT_EQ(image.pixelAt(3, 0), 0xff336699u);
}

TEST_F(ViewTest, LabelRendersRealTextInTwoValuesAndSizesItself)
{
    owner.label->setText(QStringLiteral("安装Korvel"));
    const Image image = owner.label->image();
    ASSERT_GT(image.width(), 40);
    ASSERT_GT(image.height(), 8);
    EXPECT_EQ(owner.label->rect(), (Rect{5, 5, 5 + image.width(), 5 + image.height()}));
    int lit = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const std::uint32_t p = image.pixelAt(x, y);
            ASSERT_TRUE(p == 0 || p == LabelWidget::defaultColour) << std::hex << p;
            lit += p != 0;
        }
    EXPECT_GT(lit, 50);
    EXPECT_EQ(owner.label->text(), QStringLiteral("安装Korvel"));

    owner.label->setText(QString());
    EXPECT_EQ(owner.label->rect().width(), 0);
    EXPECT_EQ(owner.label->image().width(), 0);
    EXPECT_EQ(view.backBuffer().pixelAt(6, 8), 0xff000010u); // nothing of the old text left
}

TEST_F(ViewTest, AnOverlongTextIsCutAtTheWidestLineButKeptWhole)
{
    // A status line can carry a package name from the network of any length.
    const QString text = QStringLiteral("开始下载：") + QString(100000, QLatin1Char('W'));
    owner.label->setText(text);
    EXPECT_GT(owner.label->rect().width(), 1000);
    EXPECT_LE(owner.label->rect().width(), platform::maxTextWidth);
    EXPECT_EQ(owner.label->image().width(), owner.label->rect().width());
    EXPECT_EQ(owner.label->text(), text);
}

TEST_F(ViewTest, WidgetAtFindsTheTopmostInteractiveWidgetAndItsHitCode)
{
    owner.label->setText(QStringLiteral("Korvel Korvel Korvel Korvel"));
    ASSERT_GT(owner.label->rect().right, 75);       // the label lies over the button
    EXPECT_EQ(view.widgetAt(75, 15), owner.button); // labels pass hits through
    EXPECT_EQ(view.widgetAt(6, 6), owner.background);
    EXPECT_EQ(view.widgetAt(80, 15), owner.background); // right edge exclusive
    EXPECT_EQ(view.widgetAt(100, 10), nullptr);

    int code = -5;
    EXPECT_TRUE(view.hitTest(75, 15, &code));
    EXPECT_EQ(code, HitCode::Client);
    EXPECT_TRUE(view.hitTest(6, 6, &code));
    EXPECT_EQ(code, HitCode::Caption);
    EXPECT_EQ(view.window().hitTest(6, 6), platform::HitArea::Caption);
    EXPECT_EQ(view.window().hitTest(75, 15), platform::HitArea::Client);

    owner.button->setFlag(Widget::Visible, false);
    EXPECT_EQ(view.widgetAt(75, 15), owner.background);
    owner.button->setFlag(Widget::Visible, true);

    // The 7-bit field keeps negative codes.
    owner.background->setHitCode(-1);
    EXPECT_EQ(owner.background->hitCode(), -1);
    EXPECT_EQ(owner.background->flags() & 3u, 3u);
}

TEST_F(ViewTest, MouseTableHoverPressAndClick)
{
    using platform::MouseAction;
    EXPECT_EQ(buttonPixel(), 0xff0000aau);

    view.mouse(mouse(MouseAction::Move, 75, 15));
    EXPECT_EQ(buttonPixel(), 0xff00bb00u) << "hovered";

    view.mouse(mouse(MouseAction::Leave, -1, -1));
    EXPECT_EQ(buttonPixel(), 0xff0000aau);

    view.mouse(mouse(MouseAction::Press, 75, 15));
    EXPECT_EQ(view.pressedWidget(), owner.button);
    EXPECT_EQ(buttonPixel(), 0xffcc0000u) << "pressed";
    view.mouse(mouse(MouseAction::Move, 5, 50)); // still pressed while away
    EXPECT_EQ(buttonPixel(), 0xffcc0000u);

    // Released far from the button: the click still goes to it.
    view.mouse(mouse(MouseAction::Release, 5, 50));
    ASSERT_EQ(owner.clicks.size(), 1u);
    EXPECT_EQ(owner.clicks[0], owner.button);
    EXPECT_EQ(view.pressedWidget(), nullptr);
    EXPECT_EQ(buttonPixel(), 0xff0000aau);

    // A release without a press clicks nothing.
    view.mouse(mouse(MouseAction::Release, 75, 15));
    ASSERT_EQ(owner.clicks.size(), 2u);
    EXPECT_EQ(owner.clicks[1], nullptr);

    // A press on the background then a release over the button clicks the background.
    view.mouse(mouse(MouseAction::Press, 20, 40));
    view.mouse(mouse(MouseAction::Release, 75, 15));
    ASSERT_EQ(owner.clicks.size(), 3u);
    EXPECT_EQ(owner.clicks[2], owner.background);
}

TEST_F(ViewTest, BackBufferFollowsTheWindowSizeAndWidgetChangesRedraw)
{
    EXPECT_EQ(view.backBuffer().width(), 100);
    EXPECT_EQ(view.backBuffer().height(), 60);
    owner.button->setRect(Rect{0, 50, 10, 60});
    EXPECT_EQ(view.backBuffer().pixelAt(5, 55), 0xff0000aau);
    view.window().setRect(Rect{10, 10, 130, 90});
    EXPECT_EQ(view.backBuffer().width(), 120);
    EXPECT_EQ(view.backBuffer().height(), 80);
    EXPECT_EQ(view.backBuffer().pixelAt(110, 70), 0u); // beyond the background: never drawn

    // A list handed back is the caller's: its widgets no longer redraw the view.
    LayeredView::WidgetList previous = view.setWidgets(LayeredView::WidgetList());
    ASSERT_EQ(previous.size(), 3);
    EXPECT_EQ(previous[0]->view(), nullptr);
    for (Widget *widget : previous)
        delete widget;
}

TEST(NativeWindow, CentresByTheWorkAreaFormulaAndAnswersTheDefaultHitTest)
{
    auto system = platform::openHeadlessWindowSystem();
    ASSERT_EQ(system->workArea(), (Rect{0, 0, 1920, 1040}));
    NativeWindow window(*system, nullptr);
    window.centreInWorkArea(); // no window yet: nothing
    EXPECT_EQ(window.rect(), (Rect{50, 50, 150, 150}));

    window.setRect(Rect{50, 50, 543, 398});
    window.applyStyleFlags(Frameless);
    window.create();
    ASSERT_TRUE(window.exists());
    window.centreInWorkArea();
    EXPECT_EQ(window.rect(), (Rect{713, 346, 1206, 694}));
    EXPECT_EQ(system->geometry(window.id()), window.rect());

    // Frameless, not resizable: edges are border, the inside is client or a caption.
    SharedArray<Rect> captions = SharedArray<Rect>::allocate(1);
    captions[0] = Rect{10, 10, 20, 20};
    window.setCaptionRects(captions);
    EXPECT_EQ(window.defaultHitTest(0, 0), HitCode::Border);
    EXPECT_EQ(window.defaultHitTest(492, 200), HitCode::Border);
    EXPECT_EQ(window.defaultHitTest(1, 1), HitCode::Client);
    EXPECT_EQ(window.defaultHitTest(10, 19), HitCode::Caption);
    EXPECT_EQ(window.defaultHitTest(20, 15), HitCode::Client);
    window.applyStyleFlags(Frameless | Resizable);
    EXPECT_EQ(window.defaultHitTest(0, 0), HitCode::TopLeft);
    EXPECT_EQ(window.defaultHitTest(492, 347), HitCode::BottomRight);
    EXPECT_EQ(window.defaultHitTest(200, 347), HitCode::Bottom);
    window.applyStyleFlags(0);
    EXPECT_EQ(window.defaultHitTest(0, 0), HitCode::Client);
    EXPECT_EQ(window.defaultHitTest(15, 15), HitCode::Client);
}

TEST(WindowSystem, PostsFromOtherThreadsArriveInOrderAndTimersFire)
{
    auto system = platform::openHeadlessWindowSystem();
    struct Recorder : platform::WindowEvents {
        platform::WindowSystem *system = nullptr;
        std::vector<int> messages;
        int ticks = 0;
        void mouseEvent(const platform::MouseEvent &) override {}
        platform::HitArea hitTest(int, int) override { return platform::HitArea::Client; }
        void geometryChanged(const Rect &) override {}
        void timer(int id) override
        {
            if (id == 3 && ++ticks == 3)
                system->postQuit(42);
        }
        void userMessage(int n, std::uintptr_t, std::intptr_t) override { messages.push_back(n); }
        void closeRequested() override {}
    } recorder;
    recorder.system = system.get();
    const platform::WindowId id =
        system->createWindow(&recorder, Rect{0, 0, 10, 10}, platform::WindowStyle{});
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            system->post(id, i, 0, 0);
    });
    poster.join();
    system->setTimer(id, 3, 10);
    EXPECT_EQ(system->runLoop(), 42);
    ASSERT_EQ(recorder.messages.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(recorder.messages[static_cast<size_t>(i)], i);
    EXPECT_EQ(recorder.ticks, 3);

    system->destroyWindow(id);
    EXPECT_FALSE(system->post(id, 1, 0, 0));
}

TEST_F(ViewTest, TranslucentPixelsStayAsTheyAreAcrossRedraws)
{
    owner.background->setImage(filled(100, 60, 0x80000010u));
    for (int i = 0; i < 5; ++i)
        view.redraw();
    EXPECT_EQ(view.backBuffer().pixelAt(40, 40), 0x80000010u);
}
