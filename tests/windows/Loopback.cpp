#include "windows/Loopback.h"

#include <windows.h>
#include <winsock2.h>

namespace wintest {

namespace {

std::string WsaError(const char* what) {
    return std::string(what) + " failed: " + std::to_string(WSAGetLastError());
}

Endpoint Local(SOCKET s) {
    sockaddr_in a{};
    int len = sizeof a;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return {};
    return {a.sin_addr.s_addr, ntohs(a.sin_port)};
}

void Close(uintptr_t& s) {
    if (s != INVALID_SOCKET)
        closesocket(s);
    s = INVALID_SOCKET;
}

} // namespace

uint32_t Address(const char* dotted) {
    return inet_addr(dotted);
}

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

Loopback::Loopback(const char* clientAddress) {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        error_ = "WSAStartup failed";
        return;
    }
    started_ = true;
    listen_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    client_s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listen_ == INVALID_SOCKET || client_s_ == INVALID_SOCKET) {
        error_ = WsaError("socket");
        return;
    }
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = Address("127.0.0.1");
    at.sin_port = 0; // the system picks a free port: never a well-known one
    if (bind(listen_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        listen(listen_, 1) != 0) {
        error_ = WsaError("bind/listen");
        return;
    }
    listener_ = Local(listen_);

    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = Address(clientAddress);
    if (bind(client_s_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        error_ = WsaError("bind client");
        return;
    }
    at.sin_port = htons(listener_.port);
    if (connect(client_s_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        error_ = WsaError("connect");
        return;
    }
    client_ = Local(client_s_);
    served_ = accept(listen_, nullptr, nullptr);
    if (served_ == INVALID_SOCKET)
        error_ = WsaError("accept");
}

Loopback::~Loopback() {
    Close(served_);
    Close(client_s_);
    Close(listen_);
    if (started_)
        WSACleanup();
}

bool Loopback::Alive() {
    const char ping = 'p';
    if (send(client_s_, &ping, 1, 0) != 1)
        return false;
    // A bounded wait for the byte on the server's side.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(served_, &readable);
    timeval limit{5, 0};
    if (select(0, &readable, nullptr, nullptr, &limit) != 1)
        return false;
    char got = 0;
    return recv(served_, &got, 1, 0) == 1 && got == ping;
}

bool Loopback::ClientWasReset() {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(client_s_, &readable);
    timeval limit{5, 0};
    if (select(0, &readable, nullptr, nullptr, &limit) != 1)
        return false;
    char got = 0;
    return recv(client_s_, &got, 1, 0) == SOCKET_ERROR && WSAGetLastError() == WSAECONNRESET;
}

} // namespace wintest
