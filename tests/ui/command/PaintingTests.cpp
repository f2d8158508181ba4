// Pictures of the button, read from grab() and from its persistent image.
#include "ButtonFixture.h"

#include <QFontMetrics>
#include <cmath>
#include <cstdlib>

namespace {

using Skin = Command::Skin;

const QColor kWhite(255, 255, 255);
const QColor kLavender(198, 197, 215);

// The gradient colour of row y on a surface of the given height.
QColor GradientAt(int y, int height, bool inverted) {
    const QColor top = inverted ? kLavender : kWhite;
    const QColor bottom = inverted ? kWhite : kLavender;
    const double t = (y + 0.5) / (height - 1);
    return QColor(int(std::lround(top.red() + (bottom.red() - top.red()) * t)),
                  int(std::lround(top.green() + (bottom.green() - top.green()) * t)),
                  int(std::lround(top.blue() + (bottom.blue() - top.blue()) * t)));
}

bool Near(QRgb actual, const QColor& expected, int tolerance) {
    return std::abs(qRed(actual) - expected.red()) <= tolerance &&
           std::abs(qGreen(actual) - expected.green()) <= tolerance &&
           std::abs(qBlue(actual) - expected.blue()) <= tolerance;
}

// Pixels inside the frame that are not the gradient: the caption's ink.
std::vector<QPoint> Ink(const QImage& image, bool inverted) {
    std::vector<QPoint> ink;
    for (int y = 4; y < image.height() - 4; ++y)
        for (int x = 4; x < image.width() - 4; ++x)
            if (!Near(Rgb(image, x, y), GradientAt(y, image.height(), inverted), 6))
                ink.emplace_back(x, y);
    return ink;
}

using Painting = ButtonFixture;

TEST_F(Painting, GradientDirectionFollowsTheState) {
    button->SetCaption({});
    button->Initialize();
    struct Step {
        const char* what;
        std::function<void()> act;
        int state;
        bool inverted;
    };
    const Step steps[] = {
        {"normal", [] {}, 1, false},
        {"pointer over", [&] { PointerOver(); }, 2, true},
        {"focus arrives while over", [&] { button->setFocus(Qt::TabFocusReason); }, 4, true},
        {"pointer leaves",
         [&] {
             PointerAway();
             ASSERT_TRUE(NextTick());
         },
         3, false},
        {"pointer back on focused", [&] { PointerOver(); }, 4, false},
        {"focus leaves", [&] { other->setFocus(Qt::TabFocusReason); }, 1, false},
        {"over again",
         [&] {
             PointerAway();
             PointerOver();
         },
         2, true},
        {"disabled keeps it", [&] { button->SetEnabled(false); }, 0, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        ASSERT_EQ(button->ButtonState(), step.state);
        EXPECT_EQ(button->GradientInverted(), step.inverted);
        const QImage image = Grab();
        const int x = image.width() / 2, top = 5, bottom = image.height() - 6;
        EXPECT_TRUE(Near(Rgb(image, x, top), GradientAt(top, image.height(), step.inverted), 3))
            << std::hex << Rgb(image, x, top);
        EXPECT_TRUE(
            Near(Rgb(image, x, bottom), GradientAt(bottom, image.height(), step.inverted), 3))
            << std::hex << Rgb(image, x, bottom);
    }
}

TEST_F(Painting, FrameCornersAreCopiedFromTheSkin) {
    button->resize(150, 40);
    const Skin skins[] = {Skin::Normal,          Skin::HighLight, Skin::Selected,
                          Skin::HighLightSelect, Skin::Pressed,   Skin::Disable};
    for (const Skin skin : skins) {
        SCOPED_TRACE(int(skin));
        const QImage art = Command::SkinImage(skin);
        ASSERT_EQ(art.size(), QSize(64, 25));
        button->PaintState(skin);
        const QImage image = Grab();
        const int w = image.width(), h = image.height();
        // (surface corner, skin corner) for top-left, top-right, bottom-right, bottom-left.
        const std::pair<QPoint, QPoint> corners[] = {{{0, 0}, {0, 0}},
                                                     {{w - 4, 0}, {60, 0}},
                                                     {{w - 4, h - 4}, {60, 21}},
                                                     {{0, h - 4}, {0, 21}}};
        for (const auto& [at, from] : corners)
            for (int dy = 0; dy < 4; ++dy)
                for (int dx = 0; dx < 4; ++dx)
                    ASSERT_EQ(Rgb(image, at.x() + dx, at.y() + dy),
                              Rgb(art, from.x() + dx, from.y() + dy))
                        << "at " << at.x() + dx << "," << at.y() + dy;
    }
}

TEST_F(Painting, CaptionIsInFontColourAndSilverWhenDisabled) {
    QFont font(u"DejaVu Sans"_qs);
    font.setPixelSize(14);
    font.setBold(true);
    button->SetFont(font);
    button->SetCaption(u"WWW"_qs);
    button->SetFontColour(0x0000FF); // red in 0x00BBGGRR

    for (const bool enabled : {true, false}) {
        SCOPED_TRACE(enabled);
        button->SetEnabled(enabled);
        const QImage image = Grab();
        const auto ink = Ink(image, button->GradientInverted());
        ASSERT_GT(ink.size(), 20u);
        const QRgb expected = enabled ? qRgb(255, 0, 0) : qRgb(192, 192, 192);
        for (const QPoint& p : ink)
            ASSERT_EQ(Rgb(image, p.x(), p.y()), expected & 0xFFFFFF) << p.x() << "," << p.y();
    }
}

TEST_F(Painting, FocusLinesInvertOnlyInStatesThreeAndFour) {
    button->Initialize();
    struct Step {
        const char* what;
        std::function<void()> act;
        int state;
        bool lines;
    };
    const Step steps[] = {
        {"normal", [] {}, 1, false},
        {"highlight", [&] { PointerOver(); }, 2, false},
        {"highlight select", [&] { button->setFocus(Qt::TabFocusReason); }, 4, true},
        {"selected",
         [&] {
             PointerAway();
             ASSERT_TRUE(NextTick());
         },
         3, true},
        {"caption changed", [&] { button->SetCaption(u"Other"_qs); }, 3, true},
        {"disabled with focus", [&] { button->SetEnabled(false); }, 0, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act();
        ASSERT_EQ(button->ButtonState(), step.state);
        const QImage shown = Grab();
        const QImage& surface = button->Surface();
        const int w = shown.width(), h = shown.height();
        int onLine[4] = {0, 0, 0, 0}; // left, top, right, bottom
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const QRgb s = Rgb(surface, x, y);
                if (Rgb(shown, x, y) == s)
                    continue;
                ASSERT_EQ(Rgb(shown, x, y), ~s & 0xFFFFFF) << x << "," << y;
                const bool placed = x == 4 || y == 4 || x == w - 5 || y == h - 5;
                ASSERT_TRUE(placed) << x << "," << y;
                onLine[0] += x == 4;
                onLine[1] += y == 4;
                onLine[2] += x == w - 5;
                onLine[3] += y == h - 5;
            }
        }
        for (const int count : onLine)
            EXPECT_EQ(count > 3, step.lines);
    }
    EXPECT_EQ(button->LastSkin(), Skin::Disable);
}

TEST_F(Painting, OneLineCaptionIsCentredOnATwentyOnePixelButton) {
    QFont font(u"MS Sans Serif"_qs);
    font.setPointSizeF(8.25);
    font.setStyleStrategy(QFont::NoAntialias);
    button->SetFont(font);
    button->SetCaption(u"Add"_qs);
    button->resize(47, 21); // 705 x 315 twips
    const QImage image = Grab();

    QImage atScreenResolution(1, 1, QImage::Format_RGB32);
    atScreenResolution.setDotsPerMeterX(3780);
    atScreenResolution.setDotsPerMeterY(3780);
    const QFontMetrics metrics(font, &atScreenResolution);
    const int lineHeight = metrics.height();
    ASSERT_LT(lineHeight, 21);
    const int top = int(std::nearbyint((21 - lineHeight) / 2.0));

    const auto ink = Ink(image, button->GradientInverted());
    ASSERT_FALSE(ink.empty());
    int left = image.width(), right = 0, high = image.height(), low = 0;
    for (const QPoint& p : ink) {
        left = std::min(left, p.x());
        right = std::max(right, p.x());
        high = std::min(high, p.y());
        low = std::max(low, p.y());
    }
    // "Add" has no descenders: its lowest ink sits on the baseline of the centred line box.
    EXPECT_GE(high, top);
    EXPECT_EQ(low, top + metrics.ascent() - 1);
    EXPECT_GE(left, 4);
    EXPECT_LE(right, image.width() - 5);
    EXPECT_LE(std::abs((left - 4) - (image.width() - 5 - right)), 2)
        << "ink from " << left << " to " << right;
}

} // namespace
