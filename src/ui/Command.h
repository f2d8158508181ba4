// Command: the owner-drawn push button every button of the main window is made of, with the
// keyed property store its design data is kept in.
#pragma once

#include "ui/DesignData.h"

#include <QFont>
#include <QImage>
#include <QLine>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QWidget>

#include <array>
#include <map>
#include <utility>
#include <vector>

class QTimer;

// The properties are the control's own and are reached by name through the meta-object system
// ("Caption", "Enabled", "Font", "FontColour", "Visible", "Initialize"). They are not QWidget's
// enabled/font/visible: the widget itself always stays enabled and receives every event, which
// the handlers ignore while Enabled is false.
class Command : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(QFont Font READ Font WRITE SetFont)
    Q_PROPERTY(int FontColour READ FontColour WRITE SetFontColour)
    Q_PROPERTY(int Visible READ Visible WRITE SetVisible)

public:
    enum class Skin { Normal, HighLight, Selected, HighLightSelect, Pressed, Disable };
    enum State {
        Disabled = 0,
        NormalState = 1,
        HighLightState = 2,
        SelectedState = 3,
        HighLightSelectState = 4
    };

    static constexpr int MouseTimerInterval = 100; // ms
    static constexpr int SilverColour = 0xC0C0C0;  // caption of a disabled button

    explicit Command(QWidget* parent = nullptr);
    ~Command() override;

    QString Caption() const { return caption_; }
    void SetCaption(const QString& caption);
    // The first read of a control that was never set up forces it enabled (FirstRun).
    bool Enabled();
    // The flag as it stands, without the first read's set-up: for whoever only looks.
    bool Available() const { return enabled_; }
    void SetEnabled(bool enabled);
    QFont Font() const { return font_; }
    void SetFont(const QFont& font);
    // Reads the surface's current text colour (silver while a disabled button is shown);
    // 0x00BBGGRR. A value outside 0..0xFFFFFF is refused and the colour stays.
    int FontColour() const { return textColour_; }
    void SetFontColour(int colour);
    // 255 when the surface is opaque (and repaints it), 0 when transparent.
    int Visible();
    void SetVisible(int visible);

    // Starts the pointer-leave detection and sets the Normal state; does not repaint.
    Q_INVOKABLE void Initialize();

    // What the access key does (and a screen reader's press): focus, the press look, Click.
    // Nothing while Enabled is false.
    void Press();

    // The design data: restore right after creation, store when the form is saved.
    void ReadProperties(const PropertyBag& bag);
    void WriteProperties(PropertyBag& bag);

    // The repaint of every property change; PaintState paints the look of one skin.
    void Redraw();
    void PaintState(Skin skin);

    // State, for the form and for tests.
    int ButtonState() const { return buttonState_; }
    bool GradientInverted() const { return gradientInverted_; }
    bool LeftButtonDown() const { return leftButtonDown_; }
    int FirstRun() const { return firstRun_; }
    QString AccessKeys() const { return accessKey_; }
    Skin LastSkin() const { return lastSkin_; }
    int PaintCount() const { return paintCount_; }
    int TickCount() const { return tickCount_; }
    bool MouseTimerActive() const;
    bool FocusLinesVisible() const { return lines_[0].visible; }
    // The persistent image of the last repaint, without the focus lines drawn over it.
    const QImage& Surface() const { return surface_; }
    static QImage SkinImage(Skin skin);

    QSize sizeHint() const override;

signals:
    void Click();
    // A property was written; the form designer would mark the form modified.
    void PropertyChanged(const QString& name);

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    struct LinePart {
        bool visible = true;
        QLine twips;
    };

    void MouseMove();
    void MouseDown(Qt::MouseButton button);
    void MouseUp(Qt::MouseButton button);
    void GotFocus();
    void LostFocus();
    void AccessKeyPress();
    void TmrMouseTimer();
    void LeaveHighLight();
    void FollowMouseWhileItCanChange();

    void PaintGradient(QPainter& painter);
    void DrawCaption(QPainter& painter, const QString& text);
    void ShowImage();
    bool SetTextColour(int colour);
    void SetAccessKey(const QString& key);
    void SetOpaque(bool opaque);
    QFont AmbientFont() const;

    int firstRun_ = 0;
    bool initialized_ = false; // Initialize ran: the pointer-leave detection may run
    bool enabled_ = false;
    bool leftButtonDown_ = false;
    QString caption_;
    int buttonState_ = Disabled;
    int fontColour_ = 0;
    bool gradientInverted_ = false;

    // The host surface: its text colour, font and opacity, the persistent image, and the image
    // shown (the persistent one with the visible focus lines inverted over it).
    int textColour_ = 0;
    QFont font_;
    bool opaque_ = true;
    QImage surface_;
    QImage shown_;

    std::array<LinePart, 4> lines_; // left, top, right, bottom
    QTimer* tmrMouse_ = nullptr;
    QString accessKey_;
    int shortcutId_ = 0;

    Skin lastSkin_ = Skin::Normal;
    int paintCount_ = 0;
    int tickCount_ = 0;
};
