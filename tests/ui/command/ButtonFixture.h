// A shown, active window holding one Command and a second focusable widget, with the pointer
// parked away from the button.
#pragma once

#include "ui/Command.h"

#include <QApplication>
#include <QCursor>
#include <QDeadlineTimer>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

// Pumps events until the condition holds; false if it never does.
inline bool WaitFor(const std::function<bool()>& condition) {
    QDeadlineTimer deadline(5000);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

inline QRgb Rgb(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFF;
}

class ButtonFixture : public ::testing::Test {
protected:
    void SetUp() override {
        host = std::make_unique<QWidget>();
        host->setGeometry(100, 100, 300, 200);
        button = new Command(host.get());
        button->move(40, 40);
        other = new QWidget(host.get());
        other->setFocusPolicy(Qt::StrongFocus);
        other->setGeometry(200, 150, 40, 20);
        QObject::connect(button, &Command::Click, [this] { ++clicks; });
        host->show();
        host->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(host.get()));
        other->setFocus(Qt::OtherFocusReason);
        PointerAway();
    }
    void TearDown() override { host.reset(); }

    QPoint Centre() const { return button->rect().center(); }
    void PointerAway() {
        QCursor::setPos(host->mapToGlobal(QPoint(5, 190)));
        QCoreApplication::processEvents();
    }
    // Moves the pointer onto the button, which delivers a real mouse move to it.
    void PointerOver() {
        QCursor::setPos(button->mapToGlobal(Centre()));
        QCoreApplication::processEvents();
    }
    // Waits for the next tick of the button's timer.
    bool NextTick() {
        const int ticks = button->TickCount();
        return WaitFor([&] { return button->TickCount() > ticks; });
    }
    void SendFocus(QEvent::Type type) {
        QFocusEvent event(type, Qt::TabFocusReason);
        QApplication::sendEvent(button, &event);
    }
    QImage Grab() const { return button->grab().toImage(); }

    std::unique_ptr<QWidget> host;
    Command* button = nullptr;
    QWidget* other = nullptr;
    int clicks = 0;
};
