// A fresh engine over the scripted platform: a Manager with empty lists, an empty cache and
// snapshot, and a window stand-in for the tests that hand one over.
#pragma once

#include "engine/basMain.h"
#include "engine/basProcessing.h"
#include "fakes/FakeMainForm.h"
#include "fakes/ScriptedPlatform.h"
#include "manager/Manager.h"

#include <gtest/gtest.h>

class EngineTest : public testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        InitTcpStateNames();
        ClearConnectionCache();
        ExitRequested = false;
        oManager = std::make_unique<Manager>();
        oManager->oAllowedIP->Reset();
        // Start every test from an empty snapshot.
        ScanTcpTable();
        fake::P().tableReads = 0;
    }
    void TearDown() override { oManager.reset(); }

    // Hands the window stand-in to the Manager, in view `mode`.
    void ShowWindow(int16_t mode) {
        oManager->oMainForm = &form;
        oManager->SetCurrentMode(mode);
    }
    static void Scan(std::vector<api::MIB_TCPROW> table) {
        fake::P().table = std::move(table);
        ScanTcpTable();
    }
    static void BlockLocal(int32_t port) {
        oManager->oBlockedLocalPorts->AddItem(Variant::Long(port));
    }
    static void BlockRemote(int32_t port) {
        oManager->oBlockedRemotePorts->AddItem(Variant::Long(port));
    }
    static void Allow(const char* address) {
        oManager->oAllowedIP->AddItem(Variant::Text(address));
    }

    static size_t CutCount() { return fake::P().cuts.size(); }
    static uint16_t Port(uint32_t field) {
        return uint16_t((field >> 8 & 0xff) | (field & 0xff) << 8);
    }
    FakeMainForm form;
};
