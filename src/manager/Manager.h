// The controller: owns the five lists and the view mode, and drives the main window through the
// MainForm interface. The engine reads its lists; the window forwards every action to it.
#pragma once

#include "container/List.h"
#include "engine/basAPI.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

class MainForm;

// The views the window shows, by the numbers the buttons select them with.
enum ViewMode : int16_t {
    ConnectionsMode = 0,    // "Current Connections"
    LocalAddressesMode = 1, // "Local IP Addresses"
    AllowedMode = 2,        // "Allowed IP Addresses"
    BlockedLocalMode = 3,   // "Blocked Local Ports"
    BlockedRemoteMode = 4,  // "Blocked Remote Ports"
};

class Manager {
public:
    Manager();  // creates the five lists in field order, then sets their modes
    ~Manager(); // drops the lists, then oMainForm, then CurrentList

    std::shared_ptr<List> oLocalIP;
    std::shared_ptr<List> oAllowedIP;
    std::shared_ptr<List> oBlockedLocalPorts;
    std::shared_ptr<List> oBlockedRemotePorts;
    std::shared_ptr<List> oCurrentConnections;
    int16_t CurrentMode = ConnectionsMode; // a ViewMode; another number keeps the last list
    std::u16string CurrentModeDescriptor;
    std::shared_ptr<List> CurrentList;
    MainForm* oMainForm = nullptr; // the window lives until the process ends

    // Selects a view: its list, heading and editing controls (SetLists, SetMenus, SetCaptions).
    void SetCurrentMode(int16_t iMode);
    // Points CurrentList at the mode's list (the local addresses read afresh) and shows it.
    void SetLists();
    // Hands CurrentList to the list box, which reads its rows from it.
    void LoadInListbox();
    // Editing (the item box, Add, Delete) only where the user keeps lists.
    void SetMenus();
    // Shows the current view again after its list changed.
    void RefreshCurrentMode();
    // The machine's own addresses, read now.
    void RefreshLocalIPList();
    // After every edit: the lists stored, and every connection decided again at the next pass.
    void SaveChanges();
    // Adds the local addresses not yet allowed; not stored until the next save.
    void AddLocalIPSToAllowed();
    // A list from its stored text (items joined by ","), and back.
    void LoadListFromString(List& oList, const std::u16string& sString);
    std::u16string SaveListToString(const List& oList);
    // The heading shows the view's name.
    void SetCaptions();
    // Rebuilds the connection lines from the engine's snapshots (after a pass that changed a
    // row, and when the window asks), editing only the lines that changed.
    void RefreshCurrentConnections();
    // True when the lines were last built for established connections only.
    bool ViewShowsOnlyConnected() const { return viewLineCount_ >= 0 && viewOnlyConnected_; }

private:
    // What the connections view last wrote for each row of a table: a rebuild after a pass in
    // which a few rows changed, went or came touches only their lines (RefreshCurrentConnections).
    template <typename Row> struct ViewRow {
        Row row{};
        int32_t line = -1;  // the row's line, or -1 when the filter left it out
        bool known = false; // its line was written from the engine's entry for it
    };
    std::vector<ViewRow<api::MIB_TCPROW>> viewRows_;
    std::vector<ViewRow<api::MIB_TCP6ROW>> viewRows6_; // their lines follow the IPv4 ones
    bool viewOnlyConnected_ = false;
    int32_t viewLineCount_ = -1; // the list's count after the last rebuild; -1 before any
    bool linesChanged_ = false;
    template <typename Row>
    void DropLinesOfGoneRows(std::vector<ViewRow<Row>>& last, std::span<const Row> rows,
                             bool onlyConnected, std::vector<int32_t>& gone);
    template <typename Row>
    void PutLines(std::vector<ViewRow<Row>>& last, std::span<const Row> rows, bool onlyConnected,
                  int32_t& written);
};
