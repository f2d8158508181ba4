// The controller: owns the five lists and the view mode, and drives the main window through the
// MainForm interface. The engine reads its lists; the window forwards every action to it.
#pragma once

#include "container/List.h"
#include "engine/basAPI.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class MainForm;

class Manager {
public:
    Manager();  // creates the five lists in field order, then sets their modes
    ~Manager(); // drops the lists, then oMainForm, then CurrentList

    std::shared_ptr<List> oLocalIP;
    std::shared_ptr<List> oAllowedIP;
    std::shared_ptr<List> oBlockedLocalPorts;
    std::shared_ptr<List> oBlockedRemotePorts;
    std::shared_ptr<List> oCurrentConnections;
    int16_t CurrentMode = 0;
    std::u16string CurrentModeDescriptor;
    std::shared_ptr<List> CurrentList;
    MainForm* oMainForm = nullptr; // the window lives until the process ends

    void SetCurrentMode(int16_t iMode);
    void SetLists();
    void LoadInListbox();
    void SetMenus();
    void RefreshCurrentMode();
    void RefreshLocalIPList();
    void SaveChanges();
    void AddLocalIPSToAllowed();
    void LoadListFromString(List& oList, const std::u16string& sString);
    std::u16string SaveListToString(const List& oList);
    void SetCaptions();
    void RefreshCurrentConnections();

private:
    // What the connections view last wrote for each table row: a rebuild after a pass in which a
    // few rows changed rewrites only their lines (RefreshCurrentConnections).
    struct ViewRow {
        api::MIB_TCPROW row{};
        int32_t line = -1; // the row's line, or -1 when the filter left it out
        bool known = false;
    };
    std::vector<ViewRow> viewRows_;
    bool viewOnlyConnected_ = false;
    int32_t viewLineCount_ = -1; // the list's count after the last rebuild; -1 before any
    // The same for the IPv6 rows, whose lines follow; a line depends on its row alone.
    struct ViewRow6 {
        api::MIB_TCP6ROW row{};
        int32_t line = -1;
    };
    std::vector<ViewRow6> viewRows6_;
    void PutIpv6Lines(List& lines, int32_t& written, bool onlyConnected, bool reuse);
};
