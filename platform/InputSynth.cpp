#include "platform/InputSynth.h"

namespace qm {

const TInputFunctions& SystemInputFunctions() noexcept {
  static const TInputFunctions system{&::SendInput, &::SetCursorPos, &::GetCursorPos};
  return system;
}

TInputFunctions& InputFunctions() noexcept {
  static TInputFunctions current = SystemInputFunctions();
  return current;
}

}  // namespace qm
