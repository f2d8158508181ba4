// Properties, their store and the main window's design data.
#include "ButtonFixture.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

using Skin = Command::Skin;
using Properties = ButtonFixture;

// A second button restored from what the first one stores.
std::unique_ptr<Command> Restored(Command& from, QWidget* parent) {
    PropertyBag bag;
    from.WriteProperties(bag);
    auto to = std::make_unique<Command>(parent);
    to->ReadProperties(bag);
    return to;
}

TEST_F(Properties, ReachableByNameThroughTheMetaObject) {
    EXPECT_EQ(button->FirstRun(), 0);
    EXPECT_EQ(button->property("Enabled").toBool(), true);
    EXPECT_EQ(button->FirstRun(), 1); // the first read sets the control up

    ASSERT_TRUE(button->setProperty("Enabled", false));
    EXPECT_EQ(button->ButtonState(), 0);
    EXPECT_EQ(button->LastSkin(), Skin::Disable);
    EXPECT_TRUE(button->isEnabled()); // the widget keeps receiving events

    ASSERT_TRUE(QMetaObject::invokeMethod(button, "Initialize"));
    EXPECT_TRUE(button->MouseTimerActive());
    EXPECT_EQ(button->ButtonState(), 1);
    ASSERT_TRUE(button->setProperty("Enabled", true));
    EXPECT_EQ(button->ButtonState(), 1);

    ASSERT_TRUE(button->setProperty("Caption", u"Go"_qs));
    EXPECT_EQ(button->Caption(), u"Go"_qs);
}

TEST_F(Properties, FontColourReadsTheShownTextColour) {
    button->SetFontColour(0x123456);
    EXPECT_EQ(button->property("FontColour").toInt(), 0x123456);
    button->SetEnabled(false);
    EXPECT_EQ(button->FontColour(), 12632256);
    button->SetEnabled(true);
    EXPECT_EQ(button->FontColour(), 0x123456);

    button->SetFontColour(-5); // not a colour: refused, the colour stays
    EXPECT_EQ(button->FontColour(), 0x123456);
}

TEST_F(Properties, VisibleZeroHidesWithoutRepaintAndReadingRepaints) {
    host->setAutoFillBackground(true);
    QPalette palette = host->palette();
    palette.setColor(QPalette::Window, QColor(10, 120, 30));
    host->setPalette(palette);

    int paints = button->PaintCount();
    button->SetVisible(0);
    EXPECT_EQ(button->PaintCount(), paints);
    EXPECT_EQ(button->Visible(), 0);
    EXPECT_EQ(button->PaintCount(), paints);
    const QImage form = host->grab().toImage();
    EXPECT_EQ(Rgb(form, 41, 41), qRgb(10, 120, 30) & 0xFFFFFF);

    button->SetVisible(7);
    paints = button->PaintCount();
    EXPECT_EQ(button->Visible(), 255);
    EXPECT_EQ(button->PaintCount(), paints + 1);
    EXPECT_NE(Rgb(host->grab().toImage(), 41, 41), qRgb(10, 120, 30) & 0xFFFFFF);
}

TEST_F(Properties, CaptionCommandIsNotStoredAndComesBackAsCommandOne) {
    const std::pair<QString, QString> cases[] = {{u"Command"_qs, u"Command1"_qs},
                                                 {u""_qs, u""_qs},
                                                 {u"Command1"_qs, u"Command1"_qs},
                                                 {u"Add"_qs, u"Add"_qs}};
    for (const auto& [caption, restored] : cases) {
        button->SetCaption(caption);
        PropertyBag bag;
        button->WriteProperties(bag);
        EXPECT_EQ(bag.Contains(u"Caption"_qs), caption != u"Command"_qs);
        EXPECT_EQ(Restored(*button, host.get())->Caption(), restored);
    }
}

TEST_F(Properties, RestoredButtonShowsTheStoredLook) {
    QFont font(u"DejaVu Serif"_qs);
    font.setPointSizeF(11.5);
    font.setItalic(true);
    button->SetFont(font);
    button->SetFontColour(0x0000FF);
    button->SetEnabled(false); // shows silver, but the colour given is what is stored

    auto restored = Restored(*button, host.get());
    EXPECT_EQ(restored->Font(), font);
    EXPECT_EQ(restored->ButtonState(), 0);
    restored->SetEnabled(true);
    EXPECT_EQ(restored->FontColour(), 0x0000FF);
}

TEST_F(Properties, UnreadableStoredValuesLeaveTheirFieldsAlone) {
    button->SetFontColour(0x00FF00);
    const QFont before = button->Font();
    const DesignData data = ParseDesignData(u"[b]\n"
                                            "Enabled=maybe\n"
                                            "FirstRun=300\n"
                                            "FontColour=\"green\"\n"
                                            "Visible=2\n"
                                            "Font.Size=8\n"
                                            "Caption=\"Still read\"\n"_qs);
    button->ReadProperties(data.at(u"b"_qs));
    EXPECT_EQ(button->Caption(), u"Still read"_qs);
    EXPECT_EQ(button->ButtonState(), 1); // still enabled
    EXPECT_EQ(button->FirstRun(), 0);
    EXPECT_EQ(button->FontColour(), 0x00FF00);
    EXPECT_EQ(button->Font(), before);
    EXPECT_EQ(button->Visible(), 255);
}

TEST_F(Properties, AccessKeyRules) {
    struct Step {
        std::function<void()> act;
        QString key;
    };
    const Step steps[] = {
        {[&] { button->SetCaption(u"&Add"_qs); }, u"A"_qs},
        {[&] { button->SetCaption(u"Add"_qs); }, u"A"_qs},
        {[&] { button->SetCaption(u"A&dd"_qs); }, u"d"_qs},
        {[&] { button->SetCaption(u"Salt && &Pepper"_qs); }, u"&"_qs},
        {[&] { button->SetEnabled(false); }, u""_qs},
        {[&] { button->SetEnabled(true); }, u"&"_qs},
        {[&] { button->SetCaption(u"A&dd"_qs); }, u"d"_qs},
    };
    for (const Step& step : steps) {
        step.act();
        EXPECT_EQ(button->AccessKeys(), step.key);
    }
    // The replaced key no longer clicks; the current one does.
    QTest::keyClick(host.get(), Qt::Key_A, Qt::AltModifier);
    EXPECT_EQ(clicks, 0);
    QTest::keyClick(host.get(), Qt::Key_D, Qt::AltModifier);
    EXPECT_EQ(clicks, 1);
}

TEST(PropertyBag, KeepsOnlyValuesThatDifferFromTheirDefault) {
    PropertyBag bag;
    bag.WriteProperty(u"A"_qs, 1, 1);
    bag.WriteProperty(u"B"_qs, 2, 1);
    bag.WriteProperty(u"C"_qs, u"x"_qs, u"y"_qs);
    EXPECT_EQ(bag.Keys(), (QStringList{u"B"_qs, u"C"_qs}));
    bag.WriteProperty(u"B"_qs, 1, 1); // back to its default: dropped
    EXPECT_FALSE(bag.Contains(u"B"_qs));
    EXPECT_EQ(bag.ReadProperty(u"B"_qs, 9).toInt(), 9);
    EXPECT_EQ(bag.ReadProperty(u"C"_qs, u"y"_qs).toString(), u"x"_qs);
}

TEST(PropertyBag, TextSurvivesTheRoundTrip) {
    const QString awkward = u"  \"Quoted\" = a\\b\nnext\tline  "_qs;
    PropertyBag bag;
    bag.WriteProperty(u"Caption"_qs, awkward);
    bag.WriteProperty(u"Flag"_qs, false, true);
    bag.WriteProperty(u"Ratio"_qs, 8.25);
    const DesignData back = ParseDesignData(u"[c]\n"_qs + bag.ToText());
    const PropertyBag& read = back.at(u"c"_qs);
    EXPECT_EQ(read.ReadProperty(u"Caption"_qs).toString(), awkward);
    EXPECT_EQ(read.ReadProperty(u"Flag"_qs), QVariant(false));
    EXPECT_EQ(read.ReadProperty(u"Ratio"_qs).toDouble(), 8.25);
    EXPECT_TRUE(read == bag);
}

TEST_F(Properties, MainWindowDesignDataRoundTrip) {
    QFile file(u":/frmMain.design"_qs);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString committed = QString::fromUtf8(file.readAll());
    const DesignData data = ReadDesignData(u":/frmMain.design"_qs);

    const std::map<QString, QString> captions = {
        {u"cmdCurrentConnections"_qs, u"Current Connections"_qs},
        {u"cmdAllowedIP"_qs, u"Allowed IP Addreses"_qs},
        {u"cmdBlockedLocal"_qs, u"Blocked Local Ports"_qs},
        {u"cmdBlockedRemote"_qs, u"Blocked Remote Ports"_qs},
        {u"cmdLocalIP"_qs, u"Local IP Addresses"_qs},
        {u"cmdAddLocal"_qs, u"Add Local IPs to Allowed"_qs},
        {u"cmdReadme"_qs, u"Readme.txt"_qs},
        {u"cmdWebsite"_qs, u"Visit Website"_qs},
        {u"cmdAdd"_qs, u"Add"_qs}};
    ASSERT_EQ(data.size(), captions.size());

    DesignData written;
    const QStringList formKeys = {u"Left"_qs, u"Top"_qs, u"Width"_qs, u"Height"_qs, u"TabIndex"_qs};
    for (const auto& [name, bag] : data) {
        SCOPED_TRACE(name.toStdString());
        Command restored(host.get());
        restored.ReadProperties(bag);
        EXPECT_EQ(restored.Caption(), captions.at(name));
        EXPECT_EQ(restored.Font().family(), u"MS Sans Serif"_qs);
        EXPECT_EQ(restored.Font().pointSizeF(), 8.25);
        EXPECT_EQ(restored.Font().weight(), QFont::Normal);
        EXPECT_FALSE(restored.Font().italic());
        EXPECT_EQ(restored.ButtonState(), 1);
        EXPECT_EQ(restored.FontColour(), 0);
        EXPECT_EQ(restored.Visible(), 255);

        PropertyBag& out = written[name];
        for (const QString& key : formKeys)
            out.WriteProperty(key, bag.ReadProperty(key));
        restored.WriteProperties(out);
        EXPECT_TRUE(out == bag);
    }
    EXPECT_EQ(DesignDataText(written), committed);

    QTemporaryDir dir;
    const QString path = dir.filePath(u"form.design"_qs);
    ASSERT_TRUE(WriteDesignData(written, path));
    EXPECT_EQ(DesignDataText(ReadDesignData(path)), committed);
}

} // namespace
