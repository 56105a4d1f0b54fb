#pragma once
// Callbacks the subsystems hand each other. An empty callback is never called.
#include <cstdint>
#include <functional>
#include <string>

namespace qm {

using TStrProc = std::function<void(const std::wstring& S)>;
using TOnFocusPicked = std::function<void(std::int32_t AX, std::int32_t AY)>;

}  // namespace qm
