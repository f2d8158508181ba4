// IPv4 addresses as dotted text and the list of the machine's own addresses.
#pragma once

#include "engine/basAPI.h"

#include <cstdint>
#include <string>

// Dotted text of an address in network byte order; "Unable to get IP" when the platform gives none.
std::u16string AddressToText(uint32_t Address);

// RFC 5952 text of an IPv6 address, "%zone" after a link-local one when ScopeId is not 0;
// "Unable to get IP" when the platform gives none.
std::u16string Address6ToText(const api::IN6_ADDR& Address, uint32_t ScopeId);

// Every local IPv4 address in dotted text, each followed by one blank ("" when the host name
// cannot be had or has no entry), then every local IPv6 address in its text, the same way.
std::u16string GetIP();

// Starts the sockets library (version 1.1); the outcome is not passed on.
void SocketsInitialize();
