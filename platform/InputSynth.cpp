#include "platform/InputSynth.h"

namespace qm {

const TInputFunctions& SystemInputFunctions() noexcept {
  static const TInputFunctions system{&::keybd_event, &::mouse_event, &::SetCursorPos, &::GetCursorPos};
  return system;
}

TInputFunctions& InputFunctions() noexcept {
  static TInputFunctions current = SystemInputFunctions();
  return current;
}

}  // namespace qm
