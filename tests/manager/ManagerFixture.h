// A Manager over the scripted platform and a fake window, with the real settings store in a
// temporary config folder that each test starts empty.
#pragma once

#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "fakes/FakeMainForm.h"
#include "fakes/ScriptedPlatform.h"
#include "manager/Manager.h"

#include <QString>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using Items = std::vector<std::u16string>;

// The folder the store keeps its file in, and the file itself.
QString StoreFolder();
QString StoreFile();
// The file's text; empty when there is none.
QString StoreText();

Items ItemsOf(const List& list);

class ManagerTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Replaces the scripted table and runs one pass of the engine over it.
    static void Scan(std::vector<api::MIB_TCPROW> rows);

    FakeMainForm form;
    Manager* m = nullptr;
};
