// The one door from the core to the platform. Every function here is implemented outside the
// core and chosen when linking: platform/linux or platform/windows for the connection table and
// the sockets helpers, platform/qt for the settings store, ui/ for
// the window framework with the previous-instance test and the process end, and tests/fakes for the
// scripted stand-ins the tests link instead.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class MainForm;

namespace api {

// Result codes, as the connection table calls give them on every platform.
inline constexpr uint32_t NO_ERROR_ = 0;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
// A cut refused because the connection is another user's: okgate-helper cuts only the connections
// of the user who started it, unless an administrator allows more (Linux only).
inline constexpr uint32_t ERROR_NOT_OWNER = 288;
inline constexpr uint32_t ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr uint32_t ERROR_NOT_FOUND = 1168;

// TCP states as the table numbers them.
inline constexpr uint32_t MIB_TCP_STATE_CLOSED = 1;
inline constexpr uint32_t MIB_TCP_STATE_LISTEN = 2;
inline constexpr uint32_t MIB_TCP_STATE_SYN_SENT = 3;
inline constexpr uint32_t MIB_TCP_STATE_SYN_RCVD = 4;
inline constexpr uint32_t MIB_TCP_STATE_ESTAB = 5;
inline constexpr uint32_t MIB_TCP_STATE_FIN_WAIT1 = 6;
inline constexpr uint32_t MIB_TCP_STATE_FIN_WAIT2 = 7;
inline constexpr uint32_t MIB_TCP_STATE_CLOSE_WAIT = 8;
inline constexpr uint32_t MIB_TCP_STATE_CLOSING = 9;
inline constexpr uint32_t MIB_TCP_STATE_LAST_ACK = 10;
inline constexpr uint32_t MIB_TCP_STATE_TIME_WAIT = 11;
inline constexpr uint32_t MIB_TCP_STATE_DELETE_TCB = 12;

// One row of the table, 20 bytes: addresses and ports in network byte order, a port in the low
// 16 bits of its field.
struct MIB_TCPROW {
    uint32_t dwState;
    uint32_t dwLocalAddr;
    uint32_t dwLocalPort;
    uint32_t dwRemoteAddr;
    uint32_t dwRemotePort;
    friend bool operator==(const MIB_TCPROW&, const MIB_TCPROW&) = default;
};
static_assert(sizeof(MIB_TCPROW) == 20);

// The table: the entry count, then the rows.
struct MIB_TCPTABLE {
    uint32_t dwNumEntries;
    MIB_TCPROW table[1];
};

// An IPv6 address, 16 bytes in network order.
struct IN6_ADDR {
    uint8_t Byte[16];
    friend bool operator==(const IN6_ADDR&, const IN6_ADDR&) = default;
};

// One row of the IPv6 table, 52 bytes: the state numbers of the IPv4 table, addresses with their
// scope ids (the interface of a link-local address), ports in network byte order in the low 16
// bits of their field.
struct MIB_TCP6ROW {
    uint32_t State;
    IN6_ADDR LocalAddr;
    uint32_t dwLocalScopeId;
    uint32_t dwLocalPort;
    IN6_ADDR RemoteAddr;
    uint32_t dwRemoteScopeId;
    uint32_t dwRemotePort;
    friend bool operator==(const MIB_TCP6ROW&, const MIB_TCP6ROW&) = default;
};
static_assert(sizeof(MIB_TCP6ROW) == 52);

struct MIB_TCP6TABLE {
    uint32_t dwNumEntries;
    MIB_TCP6ROW table[1];
};

// --- IP helper ---------------------------------------------------------------------------------

// Writes the machine's IPv4 TCP table (every socket, every state) into pTcpTable, whose size in
// bytes is *pdwSize. 0 on success; 122 when it does not fit, with the size needed written back
// to *pdwSize and nothing written past the buffer. bOrder asks for sorted rows (unused: 0).
// A table whose rows keep their places between reads may hold empty rows (state 0, all else 0)
// where connections went.
uint32_t GetTcpTable(MIB_TCPTABLE* pTcpTable, uint32_t* pdwSize, int32_t bOrder);

// With dwState 12 (DELETE_TCB) resets the connection the row's addresses and ports name.
// 0 done, 5 no rights, 87 another state, 1168 no such connection (a connection that has gone is
// never taken for its listener), 50 not supported here, 317 any other failure.
uint32_t SetTcpEntry(MIB_TCPROW* pTcpRow);

// The IPv6 table as GetTcpTable gives the IPv4 one, with the same result codes. Rows of IPv4
// connections carried by IPv6 sockets are in the IPv4 table only.
uint32_t GetTcp6Table(MIB_TCP6TABLE* pTcpTable, uint32_t* pdwSize, int32_t bOrder);

// The cut of an IPv6 row, with the codes of SetTcpEntry; 50 where the platform cannot reset an
// IPv6 connection (Windows).
uint32_t SetTcp6Entry(MIB_TCP6ROW* pTcpRow);

// The notice told once when the platform refuses a cut, in its own words: for 5 why there is no
// right to cut and what the user does to get it, for 288 why other users' connections are not
// cut, for 50 which connections it cannot cut.
std::u16string CutRefusedText(uint32_t result);

// What the platform has to tell the user since the last call, for the engine to show: notices,
// in order, and a change of whether connections can be cut, with a few words why while they
// cannot. Most calls find nothing.
struct PlatformNews {
    std::vector<std::u16string> notices;
    std::optional<bool> cutting;
    std::u16string reason;
};
PlatformNews TakePlatformNews();

// A handle that becomes ready when the connection table has news (on Linux a file descriptor
// that polls readable when the event feed has events, the rights helper has ended or a resync read
// off the loop is ready); -1 where the platform cannot tell and only a read shows a change.
intptr_t TableWakeHandle();

// A wait without an end of its own (TableQuietMs, WaitForWork).
inline constexpr uint32_t INFINITE = 0xFFFFFFFF;

// How long the loop may leave the table unread while TableWakeHandle stays quiet: INFINITE while
// the handle tells every change, else the milliseconds until the table's own next piece of work
// (a resync that is due, a merge going on); 0 where only a read shows a change.
uint32_t TableQuietMs();

// A number that stays the same while the connection table stays the same; a platform that cannot
// tell gives a new number at every call. Lets a pass over an unchanged table be skipped.
uint64_t TableVersion();

// --- Sockets -----------------------------------------------------------------------------------

// Network to host byte order of a 16-bit value.
uint16_t ntohs(uint16_t netshort);

// Dotted text of an address in network byte order, in a buffer of the platform valid until the
// next call; null when the platform cannot give it.
const char* inet_ntoa(uint32_t in);

// RFC 5952 text of an IPv6 address (lower case, the longest run of zero groups compressed), with
// "%zone" when scopeId is not 0 (the interface name, or its number where there is no name); in a
// buffer valid until the next call, null when the platform cannot give it.
const char* inet_ntop6(const IN6_ADDR& address, uint32_t scopeId);

// The address of IPv6 text without a zone, as the platform reads it; false when it is none.
bool inet_pton6(const char* text, IN6_ADDR& address);

// Starts the sockets library (version word 0x0101 asks for 1.1); 0 on success. Harmless to
// repeat; on Linux there is nothing to start.
int32_t WSAStartup(uint16_t wVersionRequested);

// The machine's host name into name (namelen bytes, NUL-terminated); 0 on success, -1 on failure.
int32_t gethostname(char* name, int32_t namelen);

// The own-address lookup: the IPv4 addresses of the named host, each h_length bytes in network
// order, in the platform's order. On Windows the host entry of the name; on Linux the addresses of
// the machine's interfaces, in the kernel's order. Null when there is no entry.
struct hostent {
    int16_t h_length = 4;
    std::vector<std::vector<uint8_t>> h_addr_list;
};
const hostent* gethostbyname(const char* name);

// The machine's IPv6 addresses (of interfaces that are up), each with its scope id.
struct LocalAddress6 {
    IN6_ADDR address;
    uint32_t scopeId;
};
std::vector<LocalAddress6> GetLocalAddresses6();

// --- Process -----------------------------------------------------------------------------------

// Gives up the processor for about dwMilliseconds.
void Sleep(uint32_t dwMilliseconds);

// The folder of the program file (native separators, with or without a trailing separator).
std::u16string AppFolder();

// The path separator of the platform: "\" on Windows, "/" elsewhere.
char16_t PathSeparator();

// True when an earlier instance of this program runs. Otherwise this instance takes the
// instance lock and keeps it until the process ends.
bool PreviousInstance();

// Ends the process at once with the given status; does not return.
[[noreturn]] void EndProcess(int32_t status);

// --- Settings store ----------------------------------------------------------------------------

// The text stored under application, section and key; defaultValue when the key is absent.
std::u16string GetSetting(const std::u16string& appName, const std::u16string& section,
                          const std::u16string& key, const std::u16string& defaultValue);

// Writes the given keys of one section together; false when the store reports that the write
// did not reach it, with the reason (the values stay pending and the next save tries again).
struct SettingValue {
    std::u16string key;
    std::u16string value;
};
bool SaveSettings(const std::u16string& appName, const std::u16string& section,
                  const std::vector<SettingValue>& values, std::u16string& reason);

// Where the store keeps the values, as the user would look for it (the file, or the registry key).
std::u16string SettingsLocation(const std::u16string& appName);

// The store's file as bytes, for the checks the store itself does not make. A store that is no
// file (the registry) answers NoFile.
struct SettingsFile {
    enum class State { NoFile, Absent, Read, Unreadable };
    State state = State::NoFile;
    std::string bytes;
    std::u16string reason; // why it could not be read
};
SettingsFile ReadSettingsFile(const std::u16string& appName);

// Copies the store aside (beside the file, under a name no file has yet; where the store is no
// file, the values as read go to a file in the temporary folder). The copy's path, or empty
// with the reason.
std::u16string CopySettingsAside(const std::u16string& appName, const std::u16string& section,
                                 const std::vector<SettingValue>& values, std::u16string& reason);

// Writes the values in the store's file form where the store itself refused them: beside the
// store, else in the user's state folder, else in the temporary folder. The path written, or
// empty with the reason.
std::u16string SaveSettingsElsewhere(const std::u16string& appName, const std::u16string& section,
                                     const std::vector<SettingValue>& values,
                                     std::u16string& reason);

// --- Window framework (provided by ui/) --------------------------------------------------------

// Loads the main window: runs its load handler, which shows it. Returns the window's interface
// for the Manager.
MainForm* LoadMainForm();

// Shows the main window (not modal).
void ShowMainForm();

// Delivers every pending window event, then returns.
void DoEvents();

// Gives up the processor until there is something to do, at most dwMilliseconds (INFINITE: no
// limit): a window event (which the wait may deliver at once) or news in the connection table
// (TableWakeHandle).
void WaitForWork(uint32_t dwMilliseconds);

// Message box buttons and answers.
inline constexpr int32_t vbOKOnly = 0;
inline constexpr int32_t vbOKCancel = 1;
inline constexpr int32_t vbOK = 1;
inline constexpr int32_t vbCancel = 2;

// Shows a modal message box; returns the button pressed.
int32_t MsgBox(const std::u16string& prompt, int32_t buttons, const std::u16string& title);

// Tells the user something once, without stopping the program: a tray message where there is a
// tray, else a window that does not wait for an answer. Notices are shown in turn, none lost.
void ShowNotice(const std::u16string& text);

// Says in the window whether connections are cut: off (no right to cut, the rights helper gone)
// with a short reason, or on again. It stays so until the next call.
void ShowCuttingState(bool cutting, const std::u16string& reason);

// The number of connections cut since start.
void ShowCutCount(uint64_t cuts);

// Asks the platform shell to open a document or web address with the verb "Open" and a normally
// shown window; the outcome is not examined.
void ShellExecuteOpen(const std::u16string& target);

} // namespace api
