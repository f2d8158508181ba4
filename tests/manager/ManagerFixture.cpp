#include "ManagerFixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>

namespace {

// The store reads XDG_CONFIG_HOME once, at its first use: set it before any test runs.
class ConfigFolder : public testing::Environment {
public:
    void SetUp() override {
        folder_ = std::make_unique<QTemporaryDir>();
        ASSERT_TRUE(folder_->isValid());
        setenv("XDG_CONFIG_HOME", folder_->path().toLocal8Bit().constData(), 1);
    }
    void TearDown() override { folder_.reset(); }
    static QString Path() { return QString::fromLocal8Bit(std::getenv("XDG_CONFIG_HOME")); }

private:
    std::unique_ptr<QTemporaryDir> folder_;
};

[[maybe_unused]] testing::Environment* const configFolder =
    testing::AddGlobalTestEnvironment(new ConfigFolder);

} // namespace

QString StoreFolder() {
    return ConfigFolder::Path() + QStringLiteral("/OrvoKestrelgate");
}
QString StoreFile() {
    return StoreFolder() + QStringLiteral("/OrvoKestrelgate.ini");
}

QString StoreText() {
    QFile file(StoreFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

Items ItemsOf(const List& list) {
    Items items;
    for (int32_t i = 0; i < list.GetItemCount(); ++i) {
        std::u16string text;
        EXPECT_TRUE(list.GetItem(i).ToText(text));
        items.push_back(text);
    }
    return items;
}

void ManagerTest::SetUp() {
    fake::Reset();
    InitTcpStateNames();
    QFile::remove(StoreFolder()); // a plain file left where the folder belongs
    QDir(StoreFolder()).removeRecursively();
    oManager = std::make_unique<Manager>();
    m = oManager.get();
    Scan({});
    ClearConnectionCache();
    m->oMainForm = &form;
}

void ManagerTest::TearDown() {
    m = nullptr;
    oManager.reset();
}

void ManagerTest::Scan(std::vector<api::MIB_TCPROW> rows) {
    fake::P().table = std::move(rows);
    ScanTcpTable();
}
