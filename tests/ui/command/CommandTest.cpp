// The owner-drawn button: real mouse, focus, key and timer events, grab() pictures, stored data.
#include "ui/Command.h"

#include "ui/QtWarningsFail.h"
#include <QAccessible>
#include <QCursor>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <tuple>

using enum Command::Skin;

class CommandTest : public ::testing::Test { // a shown, active window, the pointer away
protected:
    void SetUp() override {
        host.setGeometry(100, 100, 300, 200);
        host.setFocusPolicy(Qt::StrongFocus);
        button->move(40, 40);
        QObject::connect(button, &Command::Click, [this] { ++clicks; });
        host.show();
        host.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&host));
        host.setFocus();
        Pointer(false);
    }
    static QRgb Rgb(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xFFFFFF; }
    QPoint Centre() const { return button->rect().center(); }
    void Pointer(bool over) {
        QCursor::setPos(over ? button->mapToGlobal(Centre()) : host.mapToGlobal(QPoint(5, 190)));
        QCoreApplication::processEvents();
    }
    // The next tick of the pointer-leave timer, or true at once where it rests: then no tick
    // could change the button.
    bool NextTick() {
        const int ticks = button->TickCount();
        return !button->MouseTimerActive() ||
               QTest::qWaitFor([&] { return button->TickCount() > ticks; });
    }

    QWidget host;
    Command* button = new Command(&host);
    int clicks = 0;
};

enum Ev { Move, Down, Click, Right, Middle, In, Out, Away, Over };
// From state (0: disabled; -1: disabled, yet left in state 1 by Initialize: the tick repairs it
// only with the pointer away), event, to state, skin painted ({}: no repaint at all), clicks.
using Row = std::tuple<int, Ev, int, std::optional<Command::Skin>, int>;
// clang-format off
const Row kTransitions[] = {
    {1, Move, 2, HighLight, 0}, {2, Move, 2, {}, 0}, {3, Move, 4, HighLightSelect, 0},
    {4, Move, 4, {}, 0}, {2, Down, 2, Pressed, 0}, {4, Down, 4, Pressed, 0},
    {1, Click, 1, Pressed, 1}, {2, Click, 2, Normal, 1}, {3, Click, 3, Pressed, 0},
    {4, Click, 4, HighLightSelect, 1}, {1, Right, 1, {}, 1}, {3, Right, 3, {}, 0},
    {4, Right, 4, {}, 1}, {2, Middle, 2, {}, 1}, {1, In, 3, Selected, 0}, {2, In, 4, Pressed, 0},
    {3, In, 3, Selected, 0}, {4, In, 3, Selected, 0}, {1, Out, 1, {}, 0}, {2, Out, 1, Normal, 0},
    {3, Out, 1, Normal, 0}, {4, Out, 1, Normal, 0}, {1, Away, 1, {}, 0}, {2, Away, 1, Normal, 0},
    {3, Away, 3, {}, 0}, {4, Away, 3, Selected, 0}, {2, Over, 2, {}, 0}, {0, Move, 0, {}, 0},
    {0, Click, 0, {}, 0}, {0, Right, 0, {}, 0}, {0, Middle, 0, {}, 0}, {0, In, 0, {}, 0},
    {0, Away, 0, {}, 0}, {-1, Move, 1, {}, 0}, {-1, Click, 1, {}, 0}, {-1, In, 1, {}, 0},
    {-1, Over, 1, {}, 0}, {-1, Away, 0, Disable, 0}};
// clang-format on
class Transition : public CommandTest, public ::testing::WithParamInterface<Row> {};

TEST_P(Transition, FollowsTheTable) {
    const auto& [from, event, state, painted, clicked] = GetParam();
    button->setFocusPolicy(Qt::TabFocus); // each event on its own: presses do not take focus
    button->Initialize();
    if (from >= 3)
        button->setFocus(Qt::TabFocusReason);
    button->SetEnabled(from > 0);
    if (from < 0)
        button->Initialize();
    Pointer(from % 2 == 0);
    ASSERT_EQ(button->ButtonState(), std::abs(from));
    const int paints = button->PaintCount();
    if (event == Move) {
        QTest::mouseMove(button, Centre() + QPoint(1, 1)); // a move even where the pointer rests
    } else if (event == Down) {
        QTest::mousePress(button, Qt::LeftButton, {}, Centre());
    } else if (event <= Middle) { // press and release; Qt's left, right, middle buttons: 1, 2, 4
        QTest::mouseClick(button, Qt::MouseButton(1 << (int(event) - 2)), {}, Centre());
    } else if (event <= Out) {
        QFocusEvent focus(event == In ? QEvent::FocusIn : QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(button, &focus);
    } else {
        Pointer(event == Over);
        ASSERT_TRUE(NextTick());
    }
    EXPECT_EQ(button->ButtonState(), state);
    // The timer runs exactly while a tick can change the button.
    EXPECT_EQ(button->MouseTimerActive(), state == 2 || state == 4 || (state == 1 && from < 0));
    EXPECT_EQ(clicks, clicked);
    EXPECT_EQ(button->PaintCount() > paints, painted.has_value());
    if (painted) {
        EXPECT_EQ(button->LastSkin(), *painted);
    }
    if (event == Down)
        QTest::mouseRelease(button, Qt::LeftButton, {}, Centre());
}
INSTANTIATE_TEST_SUITE_P(Command, Transition, ::testing::ValuesIn(kTransitions));

// A press takes the focus; dragging off, past a tick and back raises no Click, nor do Enter/Space.
TEST_F(CommandTest, NoClickByDragNorKeys) {
    button->Initialize();
    Pointer(true);
    QTest::mousePress(button, Qt::LeftButton, {}, Centre());
    ASSERT_EQ(button->ButtonState(), 4);
    Pointer(false);
    ASSERT_TRUE(NextTick()); // selects, while the button is still pressed
    Pointer(true);
    QTest::mouseMove(button, Centre()); // back over it, the left button still down
    EXPECT_EQ(button->ButtonState(), 3);
    QTest::mouseRelease(button, Qt::LeftButton, {}, Centre());
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space})
        QTest::keyClick(button, key);
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(button->ButtonState(), 3);
}

// Per state: its skin in all eight frame pieces, gradient direction (0, 4 keep the last),
// inverted focus lines in 3 and 4.
TEST_F(CommandTest, LookFollowsTheState) {
    button->resize(150, 100);
    button->Initialize();
    const std::tuple<std::function<void()>, int, Command::Skin, bool, bool> steps[] = {
        {[] {}, 1, Normal, false, false},
        {[&] { Pointer(true); }, 2, HighLight, true, false},
        {[&] { button->setFocus(Qt::TabFocusReason); }, 4, Pressed, true, true},
        {[&] { Pointer(false), NextTick(); }, 3, Selected, false, true},
        {[&] { Pointer(true); }, 4, HighLightSelect, false, true},
        {[&] { button->SetEnabled(false); }, 0, Disable, false, false}};
    for (const auto& [act, state, skin, inverted, lines] : steps) {
        act();
        ASSERT_EQ(button->ButtonState(), state);
        ASSERT_EQ(button->LastSkin(), skin);
        const QImage shown = button->grab().toImage(), art = Command::SkinImage(skin);
        const int w = shown.width(), h = shown.height(), cx = w / 2, cy = h / 2;
        const QRgb top = shown.pixel(w / 2, 5), bottom = shown.pixel(w / 2, h - 6);
        EXPECT_EQ(qBlue(top) - qRed(top) > 8, inverted) << state; // lavender, not white
        EXPECT_EQ(qBlue(bottom) - qRed(bottom) > 8, !inverted) << state;
        // The 4-pixel frame: corners copied, edges stretched along their length (the art's edges
        // are even along it), across the frame pixel for pixel.
        const int sx[] = {0, cx, w - 4}, ax[] = {0, 30, 60}, sy[] = {0, cy, h - 4},
                  ay[] = {0, 10, 21};
        for (int i = 0; i < 9 * 16; ++i) { // pieces left to right, top to bottom; not the centre
            const int piece = i / 16, col = piece % 3, row = piece / 3, x = i % 4, y = i / 4 % 4;
            if (piece == 4)
                continue;
            ASSERT_EQ(Rgb(button->Surface(), sx[col] + x, sy[row] + y),
                      Rgb(art, ax[col] + x, ay[row] + y))
                << state << " piece " << piece << " at " << x << "," << y;
        }
        int onLine[4] = {}; // left, top, right, bottom
        for (int i = 0; i < w * h; ++i) {
            const int x = i % w, y = i / w;
            const QRgb s = Rgb(button->Surface(), x, y), got = Rgb(shown, x, y);
            if (got == s)
                continue;
            ASSERT_TRUE(got == (~s & 0xFFFFFF) && (x == 4 || y == 4 || x == w - 5 || y == h - 5));
            ++onLine[x == 4 ? 0 : y == 4 ? 1 : x == w - 5 ? 2 : 3];
        }
        EXPECT_EQ(std::count_if(onLine, onLine + 4, [](int n) { return n > 3; }), lines ? 4 : 0);
    }
}

// The bounds of the caption's ink: the pixels that differ from the button without a caption, each
// in `colour` when one is given.
QRect Ink(Command* button, const QString& caption, std::optional<QRgb> colour = {}) {
    button->SetCaption({});
    const QImage blank = button->grab().toImage();
    button->SetCaption(caption);
    const QImage image = button->grab().toImage();
    QRect ink;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != blank.pixel(x, y)) {
                EXPECT_TRUE(!colour || (image.pixel(x, y) & 0xFFFFFF) == *colour) << x << "," << y;
                ink |= QRect(x, y, 1, 1);
            }
    return ink;
}

// A one-line caption on a 21-pixel button is centred, and silver (read as 12632256) when disabled;
// a word wider than the button wraps and fills it up to 4 pixels from either side.
TEST_F(CommandTest, CaptionIsCentredAndSilverWhenDisabled) {
    button->SetFont(QFont(u"MS Sans Serif"_qs, 8));
    button->resize(47, 21);
    button->SetFontColour(0x0000FF); // red in 0x00BBGGRR
    for (const bool enabled : {true, false}) {
        button->SetEnabled(enabled);
        const QRect ink = Ink(button, u"Add"_qs, enabled ? 0xFF0000u : 0xC0C0C0u);
        ASSERT_GT(ink.width() * ink.height(), 10);
        EXPECT_EQ(button->FontColour(), enabled ? 0x0000FF : 12632256);
        EXPECT_LE(std::abs(ink.top() - (20 - ink.bottom())), 3) << ink.top() << "-" << ink.bottom();
        EXPECT_LE(std::abs((ink.left() - 4) - (42 - ink.right())), 2)
            << ink.left() << "-" << ink.right();
    }
    button->SetEnabled(true);
    const QRect wide = Ink(button, QString(60, u'l'));
    EXPECT_TRUE(wide.left() >= 4 && wide.left() <= 6) << wide.left();
    EXPECT_TRUE(wide.right() <= 42 && wide.right() >= 40) << wide.right();
}

// The access key follows the caption. A screen reader sees a push button: the caption without
// marks, the access key, focus and unavailable states. Looking sets nothing up. Alt+key and the
// reader's press click at once, the tick then selects; a replaced key and a disabled button's none.
TEST_F(CommandTest, AccessKeysAndScreenReaders) {
    Command fresh(&host);
    EXPECT_FALSE(QAccessible::queryAccessibleInterface(&fresh)->state().disabled);
    EXPECT_EQ(fresh.FirstRun(), 0);
    button->Initialize();
    QAccessibleInterface* seen = QAccessible::queryAccessibleInterface(button);
    ASSERT_EQ(seen->role(), QAccessible::Button);
    for (const auto& [caption, key, name] : {std::tuple{u"Tail&"_qs, u""_qs, u"Tail"_qs},
                                             {u"&Add"_qs, u"A"_qs, u"Add"_qs},
                                             {u"Add"_qs, u"A"_qs, u"Add"_qs}, // kept
                                             {u"Salt && &Pepper"_qs, u"&"_qs, u"Salt & Pepper"_qs},
                                             {u"A&dd"_qs, u"d"_qs, u"Add"_qs}}) {
        button->SetCaption(caption);
        EXPECT_EQ(button->AccessKeys(), key) << caption.toStdString();
        EXPECT_EQ(seen->text(QAccessible::Name), name);
    }
    QAccessibleActionInterface* actions = seen->actionInterface();
    ASSERT_TRUE(actions);
    const QString press = QAccessibleActionInterface::pressAction();
    EXPECT_TRUE(actions->actionNames().contains(press));
    EXPECT_EQ(actions->keyBindingsForAction(press), QStringList{u"Alt+D"_qs});
    for (const bool enabled : {false, true}) {
        button->SetEnabled(enabled);
        EXPECT_EQ(button->AccessKeys(), enabled ? u"d"_qs : u""_qs);
        EXPECT_EQ(seen->state().disabled, !enabled);
        QTest::keyClick(&host, Qt::Key_A, Qt::AltModifier); // replaced: no longer clicks
        QTest::keyClick(&host, Qt::Key_D, Qt::AltModifier);
        EXPECT_EQ(clicks, int(enabled));
        actions->doAction(press);
        EXPECT_EQ(clicks, 2 * int(enabled));
        EXPECT_EQ(seen->state().focused, enabled);
    }
    EXPECT_EQ(button->ButtonState(), 4);
    ASSERT_TRUE(NextTick());
    EXPECT_EQ(button->ButtonState(), 3);
}

// By name: Enabled is the control's own flag; Visible 0 shows through unpainted, reading repaints.
// Stored: design data comes back unchanged, "Command" as "Command1", the colour set, not silver.
TEST_F(CommandTest, Properties) {
    ASSERT_TRUE(button->setProperty("Enabled", false));
    EXPECT_TRUE(button->isEnabled());
    ASSERT_TRUE(QMetaObject::invokeMethod(button, "Initialize"));
    int paints = button->PaintCount();
    ASSERT_TRUE(button->setProperty("Visible", 0));
    EXPECT_EQ(button->property("Visible").toInt(), 0);
    EXPECT_EQ(button->PaintCount(), paints);
    EXPECT_EQ(host.grab().toImage().pixel(41, 41),
              host.grab().toImage().pixel(5, 5)); // see-through
    button->SetVisible(7);
    paints = button->PaintCount();
    EXPECT_EQ(button->Visible(), 255);
    EXPECT_EQ(button->PaintCount(), paints + 1);
    const DesignData data = ReadDesignData(u":/frmMain.design"_qs);
    ASSERT_EQ(data.size(), 9u);
    DesignData written;
    for (const auto& [name, bag] : data) {
        Command restored(&host);
        restored.ReadProperties(bag);
        for (const char* key : {"Left", "Top", "Width", "Height", "TabIndex"})
            written[name].WriteProperty(QLatin1String(key), bag.ReadProperty(QLatin1String(key)));
        restored.WriteProperties(written[name]);
    }
    EXPECT_EQ(DesignDataText(written), DesignDataText(data));

    button->SetFontColour(0x0000FF);  // shown silver, as the button is disabled
    button->SetFontColour(0x1000000); // refused by the host: the colour stays red, not silver
    for (const QString& caption : {u"Command"_qs, u" \"Q\" = a\\b\nnext\t "_qs}) {
        button->SetCaption(caption);
        written[u"c"_qs] = PropertyBag();
        button->WriteProperties(written[u"c"_qs]);
        Command restored(&host);
        restored.ReadProperties(ParseDesignData(DesignDataText(written)).at(u"c"_qs));
        EXPECT_EQ(restored.Caption(), caption == u"Command"_qs ? u"Command1"_qs : caption);
        restored.SetEnabled(true);
        EXPECT_EQ(restored.FontColour(), 0x0000FF);
    }
}

int main(int argc, char** argv) {
    return RunWidgetTests(argc, argv);
}
