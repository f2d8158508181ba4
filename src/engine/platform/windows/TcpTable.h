// What the Windows layer offers beyond basAPI.h: a look at every cut request and the system's
// answer. Wine's SetTcpEntry does nothing, so this is the only way to see a cut there.
// No windows.h here: this header is included beside the core's.
#pragma once

#include "engine/basAPI.h"

#include <cstdint>
#include <functional>

namespace win {

// Called after each SetTcpEntry with the row as it was handed to the system and its answer.
using CutObserver = std::function<void(const api::MIB_TCPROW& row, uint32_t result)>;

// Installs observer (an empty one removes it) and returns the one it replaces.
CutObserver SetCutObserver(CutObserver observer);

} // namespace win
