// The real settings store, in temporary folders: a bad file is told and no list is lost.
#include "engine/SettingsFile.h"
#include "engine/basMain.h"
#include "fakes/ScriptedPlatform.h"
#include "manager/Manager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using fake::P;

void PrintTo(const QString& text, std::ostream* out) {
    *out << text.toStdString();
}
void PrintTo(const QByteArray& bytes, std::ostream* out) {
    *out << testing::PrintToString(bytes.toStdString());
}

namespace {

// Every folder the store may write to, set before the store's first use.
QTemporaryDir home;
const QString Config = home.path() + "/config", State = home.path() + "/state",
              Temp = home.path() + "/tmp";
const QString Folder = Config + "/OrvoKestrelgate", Ini = Folder + "/OrvoKestrelgate.ini";

QByteArray Bytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Write(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

class SettingsStoreTest : public testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        for (const QString& folder : {Config, State, Temp}) {
            QFile::remove(folder);
            QDir(folder).removeRecursively();
            QDir().mkpath(folder);
        }
        oManager = std::make_unique<Manager>();
    }
    // The three lists in their stored order, one text.
    static std::u16string Lists() {
        return oManager->SaveListToString(*oManager->oBlockedLocalPorts) + u"|" +
               oManager->SaveListToString(*oManager->oBlockedRemotePorts) + u"|" +
               oManager->SaveListToString(*oManager->oAllowedIP);
    }
    static void Restart() {
        oManager = std::make_unique<Manager>();
        LoadSettings();
    }
    static QString Message(size_t i) {
        return i < P().messages.size() ? QString::fromStdU16String(P().messages[i]) : QString();
    }
};

// The file a message names after `lead`.
QString PathAfter(const QString& message, const QString& lead) {
    const auto match =
        QRegularExpression(QRegularExpression::escape(lead) + "(\\S+?)\\.?(\\s|$)").match(message);
    return match.captured(1);
}

// Told at close although a failure was told before; the lists are where the message says,
// beside the file, else in the state folder, else in the temporary folder, else in the message.
TEST_F(SettingsStoreTest, AFailedSaveAtCloseIsAlwaysToldAndTheListsAreKeptElsewhere) {
    const QString blocked[] = {Config, State, Temp};
    for (int plainFiles = 1; plainFiles <= 3; ++plainFiles) {
        SetUp();
        LoadSettings();
        oManager->oBlockedLocalPorts->AddItem(Variant::Long(135));
        oManager->oAllowedIP->AddItem(Variant::Text(u"127.0.0.2"));
        // Plain files where the folders should be.
        QDir(Folder).removeRecursively();
        for (int i = 0; i < plainFiles; ++i) {
            QDir(blocked[i]).removeRecursively();
            Write(i == 0 ? Folder : blocked[i], "x");
        }
        SaveSettings();
        SaveSettings(); // told once while the program runs
        SaveSettingsAtClose();
        ASSERT_EQ(P().messages.size(), 2u) << plainFiles;
        EXPECT_TRUE(Message(0).contains("(a file stands where the folder " + Folder))
            << Message(0).toStdString();
        EXPECT_FALSE(Message(0).contains("saved again")) << "promises nothing";
        const QString path = PathAfter(Message(1), "They were written to ");
        if (plainFiles == 3) {
            EXPECT_TRUE(path.isEmpty());
            EXPECT_TRUE(Message(1).endsWith("They were:\nBlockedLocalPortsString=135\n"
                                            "BlockedRemotePortsString=\n"
                                            "AllowedIPString=127.0.0.1,::1,127.0.0.2"))
                << Message(1).toStdString();
            continue;
        }
        EXPECT_TRUE(path.startsWith(plainFiles == 1 ? State : Temp)) << Message(1).toStdString();
        QSettings kept(path, QSettings::IniFormat);
        EXPECT_EQ(kept.value("BlockedLocalPortsString").toString(), "135");
        EXPECT_EQ(kept.value("AllowedIPString").toString(), "127.0.0.1,::1,127.0.0.2");
        // Once the obstacle is gone, the next save writes the lists, unasked for again.
        ASSERT_TRUE(QFile::remove(Folder));
        SaveSettings();
        EXPECT_TRUE(Bytes(Ini).contains("BlockedLocalPortsString=135"));
    }
}

// A file as written (an old one too) keeps what it holds: defaults for a missing key, nothing for
// an empty one, in the form that can match. One not as written is told once at start naming key
// and item, copied aside, its valid items kept, and kept until a change. Either way what is saved
// reads back the same after a restart.
TEST_F(SettingsStoreTest, FilesLoadAsWrittenOrToldCopiedAndKeptUntilAChange) {
    const QByteArray utf16 =
        QByteArray("\xFF\xFE", 2) +
        QByteArray(reinterpret_cast<const char*>(
                       u"[General]\r\nBlockedLocalPortsString=\"135,139\"\r\nAllowedIPString="),
                   2 * 62);
    const struct {
        QByteArray bytes; // empty: no file
        std::u16string lists;
        std::vector<QString> told;
    } cases[] = {
        {"", u"||127.0.0.1,::1", {}},
        {"[General]\nBlockedLocalPortsString=135,,139,\n", u"135,139||127.0.0.1", {}},
        {"[General]\nAllowedIPString=\nBlockedRemotePortsString=25\n", u"|25|", {}},
        {"[General]\nAllowedIPString=\"010.0.0.1,2001:db8::1,fe80::1%eth0,2001:DB8:0::2\"\n",
         u"||10.0.0.1,2001:db8::1,fe80::1%eth0,2001:db8::2",
         {}},
        {"[General]\nAllowedIPString=\"1.1.1.1\nBlockedRemotePortsString=25\n",
         u"|25|1.1.1.1",
         {"AllowedIPString: a quote is not closed."}},
        {"[General]\nAllowedIPString=1.2.3.\xE9,5.6.7.8\n",
         u"||5.6.7.8",
         {"AllowedIPString: \"1.2.3.\\xE9\" is not UTF-8 text."}},
        {"[General]\nBlockedLocalPortsString=abc, 99999999999 ,-5,445,70000\n",
         u"445||127.0.0.1",
         {"BlockedLocalPortsString: \"abc\" is not a valid port number.", "\"99999999999\" is not",
          "\"-5\" is not", "\"70000\" is not"}},
        {"AllowedIPString=\"a.b.c.d,10.0.0.1\"\n[Other]\nAllowedIPString=9.9.9.9\n",
         u"||10.0.0.1",
         {"AllowedIPString: \"a.b.c.d\" is not a valid ip address."}},
        {utf16, u"135,139||", {"The file is written in UTF-16 (little-endian), not in UTF-8."}},
    };
    for (const auto& c : cases) {
        SetUp();
        if (!c.bytes.isEmpty())
            Write(Ini, c.bytes);
        LoadSettings();
        EXPECT_EQ(Lists(), c.lists) << c.bytes.toStdString();
        const size_t told = c.told.empty() ? 0 : 1;
        ASSERT_EQ(P().messages.size(), told) << Message(0).toStdString();
        QString copy;
        if (told) {
            for (const QString& part : c.told)
                EXPECT_TRUE(Message(0).contains(part)) << Message(0).toStdString();
            copy = PathAfter(Message(0), "a copy of them is in ");
            EXPECT_EQ(copy, Ini + ".bak");
            EXPECT_EQ(Bytes(copy), c.bytes);
            SaveSettings();
            SaveSettingsAtClose();
            Restart(); // unchanged, told again, the one copy kept
            EXPECT_EQ(Bytes(Ini), c.bytes);
            EXPECT_EQ(P().messages.size(), 2u);
            EXPECT_EQ(PathAfter(Message(1), "a copy of them is in "), copy);
        }
        // The first change writes the lists.
        oManager->oBlockedRemotePorts->AddItem(Variant::Long(8080));
        SaveSettings();
        EXPECT_NE(Bytes(Ini), c.bytes);
        EXPECT_EQ(QDir(Folder).entryList({"*.bak"}).size(), int(told));
        if (told) {
            EXPECT_EQ(Bytes(Ini + ".bak"), c.bytes);
        }
        const std::u16string lists = Lists();
        Restart();
        EXPECT_EQ(Lists(), lists);
        EXPECT_EQ(P().messages.size(), 2 * told) << Message(2 * told).toStdString();
    }
    // A copy from before is never written over: the new one takes a dated name.
    SetUp();
    Write(Ini + ".bak", "older");
    Write(Ini, cases[4].bytes);
    LoadSettings();
    const QString dated = PathAfter(Message(0), "a copy of them is in ");
    EXPECT_TRUE(QRegularExpression("\\.ini-\\d{8}-\\d{6}\\.bak$").match(dated).hasMatch())
        << dated.toStdString();
    EXPECT_EQ(Bytes(dated), cases[4].bytes);
    EXPECT_EQ(Bytes(Ini + ".bak"), "older");
}

// The lists start empty; those changed since go elsewhere at the close.
TEST_F(SettingsStoreTest, AnUnreadableFileIsToldAndNeverWrittenOver) {
    QDir().mkpath(Ini); // a folder where the file should be
    LoadSettings();
    EXPECT_EQ(Lists(), u"||");
    ASSERT_EQ(P().messages.size(), 1u);
    EXPECT_TRUE(Message(0).startsWith("LoadSettings: error 75: The settings in " + Ini));
    EXPECT_TRUE(Message(0).contains("cannot be read (")) << Message(0).toStdString();
    oManager->oBlockedLocalPorts->AddItem(Variant::Long(135));
    SaveSettings();
    SaveSettingsAtClose();
    ASSERT_EQ(P().messages.size(), 3u);
    EXPECT_TRUE(Message(1).contains("writing it would lose the lists it holds"));
    EXPECT_TRUE(QFileInfo(Ini).isDir());
    const QString path = PathAfter(Message(2), "They were written to ");
    EXPECT_EQ(QSettings(path, QSettings::IniFormat).value("BlockedLocalPortsString"), "135");
}

TEST(SettingsFile, ReadsTheValuesAsTheStoreWritesThem) {
    const struct {
        const char* bytes;
        std::vector<std::string> pieces;
        bool quoteOpen = false;
    } cases[] = {
        {"[General]\nK=\"1,2\"\n", {"1", "2"}},
        {"K=1,,2 , 3;comment\r\n", {"1", "2", "3"}},
        {"K=x\n[Other]\nK=y\n[General]\nL=z\n", {"x"}},
        {"K=\"a\\\"b,c\" , d\nK=\"e", {"e"}, true},
        {"\xEF\xBB\xBFK = \"\" \n", {}},
    };
    for (const auto& c : cases) {
        const SettingsText text = ReadSettingsText(c.bytes, {"K"});
        ASSERT_TRUE(text.values[0].present) << c.bytes;
        EXPECT_EQ(text.values[0].pieces, c.pieces) << c.bytes;
        EXPECT_EQ(text.values[0].quoteOpen, c.quoteOpen) << c.bytes;
    }
    EXPECT_FALSE(ReadSettingsText("[General]\nKey=1\n", {"K"}).values[0].present);
    EXPECT_EQ(ShownBytes("a\xE9\x01"), u"a\\xE9\\x01");
}

} // namespace

int main(int argc, char** argv) {
    qputenv("XDG_CONFIG_HOME", Config.toLocal8Bit());
    qputenv("XDG_STATE_HOME", State.toLocal8Bit());
    qputenv("TMPDIR", Temp.toLocal8Bit());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
