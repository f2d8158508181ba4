// The button under real mouse, focus, key and timer events.
#include "ButtonFixture.h"

#include <optional>

namespace {

using Skin = Command::Skin;

enum class Event {
    Move,
    LeftDown,
    LeftClick,
    RightClick,
    MiddleClick,
    FocusIn,
    FocusOut,
    TickAway,
    TickOver
};

struct Row {
    const char* name;
    int from;
    Event event;
    int state;
    std::optional<Skin> painted; // none: no repaint at all
    int clicks;
};

const Row kTransitions[] = {
    {"Move1", 1, Event::Move, 2, Skin::HighLight, 0},
    {"Move2", 2, Event::Move, 2, std::nullopt, 0},
    {"Move3", 3, Event::Move, 4, Skin::HighLightSelect, 0},
    {"Move4", 4, Event::Move, 4, std::nullopt, 0},
    {"LeftDown1", 1, Event::LeftDown, 1, Skin::Pressed, 0},
    {"LeftDown2", 2, Event::LeftDown, 2, Skin::Pressed, 0},
    {"LeftDown3", 3, Event::LeftDown, 3, Skin::Pressed, 0},
    {"LeftDown4", 4, Event::LeftDown, 4, Skin::Pressed, 0},
    // A click is the press and the release: where the release paints nothing, Pressed stays.
    {"LeftClick1", 1, Event::LeftClick, 1, Skin::Pressed, 1},
    {"LeftClick2", 2, Event::LeftClick, 2, Skin::Normal, 1},
    {"LeftClick3", 3, Event::LeftClick, 3, Skin::Pressed, 0},
    {"LeftClick4", 4, Event::LeftClick, 4, Skin::HighLightSelect, 1},
    {"RightClick1", 1, Event::RightClick, 1, std::nullopt, 1},
    {"RightClick2", 2, Event::RightClick, 2, std::nullopt, 1},
    {"RightClick3", 3, Event::RightClick, 3, std::nullopt, 0},
    {"RightClick4", 4, Event::RightClick, 4, std::nullopt, 1},
    {"MiddleClick2", 2, Event::MiddleClick, 2, std::nullopt, 1},
    {"FocusIn1", 1, Event::FocusIn, 3, Skin::Selected, 0},
    {"FocusIn2", 2, Event::FocusIn, 4, Skin::Pressed, 0},
    {"FocusIn3", 3, Event::FocusIn, 3, Skin::Selected, 0},
    {"FocusIn4", 4, Event::FocusIn, 3, Skin::Selected, 0},
    {"FocusOut1", 1, Event::FocusOut, 1, std::nullopt, 0},
    {"FocusOut2", 2, Event::FocusOut, 1, Skin::Normal, 0},
    {"FocusOut3", 3, Event::FocusOut, 1, Skin::Normal, 0},
    {"FocusOut4", 4, Event::FocusOut, 1, Skin::Normal, 0},
    {"TickAway1", 1, Event::TickAway, 1, std::nullopt, 0},
    {"TickAway2", 2, Event::TickAway, 1, Skin::Normal, 0},
    {"TickAway3", 3, Event::TickAway, 3, std::nullopt, 0},
    {"TickAway4", 4, Event::TickAway, 3, Skin::Selected, 0},
    {"TickOver2", 2, Event::TickOver, 2, std::nullopt, 0},
    {"TickOver4", 4, Event::TickOver, 4, std::nullopt, 0},
};

class Transition : public ButtonFixture, public ::testing::WithParamInterface<Row> {
protected:
    // A move that reaches the button even when the pointer already rests on it.
    void MoveOnButton() {
        PointerOver();
        QMouseEvent move(QEvent::MouseMove, Centre(), button->mapToGlobal(Centre()), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(button, &move);
    }
};

TEST_P(Transition, FollowsTheTable) {
    const Row& row = GetParam();
    // Presses must not move the focus here: the table is about each event on its own.
    button->setFocusPolicy(Qt::TabFocus);
    button->Initialize();
    if (row.from == 3 || row.from == 4)
        button->setFocus(Qt::TabFocusReason);
    if (row.from == 2 || row.from == 4)
        PointerOver();
    ASSERT_EQ(button->ButtonState(), row.from);
    const int paints = button->PaintCount();

    switch (row.event) {
    case Event::Move:
        MoveOnButton();
        break;
    case Event::LeftDown:
        QTest::mousePress(button, Qt::LeftButton, {}, Centre());
        EXPECT_TRUE(button->LeftButtonDown());
        break;
    case Event::LeftClick:
        QTest::mouseClick(button, Qt::LeftButton, {}, Centre());
        EXPECT_FALSE(button->LeftButtonDown());
        break;
    case Event::RightClick:
        QTest::mouseClick(button, Qt::RightButton, {}, Centre());
        break;
    case Event::MiddleClick:
        QTest::mouseClick(button, Qt::MiddleButton, {}, Centre());
        break;
    case Event::FocusIn:
        SendFocus(QEvent::FocusIn);
        break;
    case Event::FocusOut:
        SendFocus(QEvent::FocusOut);
        break;
    case Event::TickAway:
        PointerAway();
        ASSERT_TRUE(NextTick());
        break;
    case Event::TickOver:
        ASSERT_TRUE(NextTick());
        break;
    }

    EXPECT_EQ(button->ButtonState(), row.state);
    EXPECT_EQ(clicks, row.clicks);
    if (row.painted) {
        EXPECT_GT(button->PaintCount(), paints);
        EXPECT_EQ(button->LastSkin(), *row.painted);
    } else {
        EXPECT_EQ(button->PaintCount(), paints);
    }
    if (row.event == Event::LeftDown)
        QTest::mouseRelease(button, Qt::LeftButton, {}, Centre());
}

INSTANTIATE_TEST_SUITE_P(Command, Transition, ::testing::ValuesIn(kTransitions),
                         [](const auto& info) { return std::string(info.param.name); });

using Interaction = ButtonFixture;

TEST_F(Interaction, CompleteClickOnAnUnfocusedButton) {
    button->Initialize();
    PointerOver();
    EXPECT_EQ(button->ButtonState(), 2);

    QTest::mousePress(button, Qt::LeftButton, {}, Centre());
    EXPECT_TRUE(button->hasFocus());
    EXPECT_EQ(button->ButtonState(), 4);
    EXPECT_EQ(button->LastSkin(), Skin::Pressed);

    QTest::mouseRelease(button, Qt::LeftButton, {}, Centre());
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(button->ButtonState(), 4);
    EXPECT_EQ(button->LastSkin(), Skin::HighLightSelect);

    PointerAway();
    ASSERT_TRUE(WaitFor([&] { return button->ButtonState() == 3; }));
    EXPECT_EQ(button->LastSkin(), Skin::Selected);

    other->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(button->ButtonState(), 1);
    EXPECT_EQ(button->LastSkin(), Skin::Normal);
    EXPECT_EQ(clicks, 1);
}

TEST_F(Interaction, DraggingOffPastATickAndBackRaisesNoClick) {
    button->Initialize();
    PointerOver();
    QTest::mousePress(button, Qt::LeftButton, {}, Centre());
    ASSERT_EQ(button->ButtonState(), 4);

    // The pressed button keeps receiving the moves while the pointer is off it.
    QTest::mouseMove(button, QPoint(-60, -30));
    PointerAway();
    ASSERT_TRUE(NextTick());
    EXPECT_EQ(button->ButtonState(), 3);

    QTest::mouseMove(button, Centre());
    PointerOver();
    EXPECT_EQ(button->ButtonState(), 3);
    QTest::mouseRelease(button, Qt::LeftButton, {}, Centre());
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(button->ButtonState(), 3);
}

TEST_F(Interaction, AccessKeyClicksAtOnceThenTheTickSelects) {
    button->Initialize();
    button->SetCaption(u"&Add"_qs);
    QTest::keyClick(host.get(), Qt::Key_A, Qt::AltModifier);
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(button->hasFocus());
    EXPECT_EQ(button->ButtonState(), 4);
    EXPECT_EQ(button->LastSkin(), Skin::HighLightSelect);
    ASSERT_TRUE(NextTick());
    EXPECT_EQ(button->ButtonState(), 3);
}

TEST_F(Interaction, EnterAndSpaceDoNothing) {
    button->Initialize();
    button->setFocus(Qt::TabFocusReason);
    const int paints = button->PaintCount();
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space})
        QTest::keyClick(button, key);
    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(button->ButtonState(), 3);
    EXPECT_EQ(button->PaintCount(), paints);
}

TEST_F(Interaction, DisabledIgnoresEverythingAndTheTickRepairsItsState) {
    button->SetCaption(u"&Go"_qs);
    button->SetEnabled(false);
    button->Initialize(); // sets 1 without looking at Enabled
    EXPECT_EQ(button->ButtonState(), 1);
    ASSERT_TRUE(NextTick());
    EXPECT_EQ(button->ButtonState(), 0);
    EXPECT_EQ(button->LastSkin(), Skin::Disable);
    const int paints = button->PaintCount();

    PointerOver();
    for (const Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton})
        QTest::mouseClick(button, b, {}, Centre());
    SendFocus(QEvent::FocusIn);
    SendFocus(QEvent::FocusOut);
    QTest::keyClick(host.get(), Qt::Key_G, Qt::AltModifier);
    ASSERT_TRUE(NextTick());

    EXPECT_EQ(clicks, 0);
    EXPECT_EQ(button->ButtonState(), 0);
    EXPECT_FALSE(button->LeftButtonDown());
    EXPECT_EQ(button->PaintCount(), paints);
}

TEST_F(Interaction, WithoutInitializeTheHighLightOutlivesThePointer) {
    EXPECT_FALSE(button->MouseTimerActive());
    PointerOver();
    EXPECT_EQ(button->ButtonState(), 2);
    PointerAway();
    QTest::qWait(3 * Command::MouseTimerInterval);
    EXPECT_EQ(button->ButtonState(), 2);
    EXPECT_EQ(button->LastSkin(), Skin::HighLight);
}

} // namespace
