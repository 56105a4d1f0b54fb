#pragma once
// The decisions of one delivery that need no window: which way a barcode
// goes, which controls the search may write and which take no text, when
// Enter may follow a paste, what the end of a wait means for the barcode, the
// lParam of a posted key, which held modifiers are released around
// synthesized keys and which keys undo a block the system cut short, whether
// a target is out of reach by its integrity level, and the log line of a
// barcode that was not entered. Pure: no <windows.h>.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/PasteHotkey.h"

namespace qm {

// What the delivery learned of one control.
struct TControlFacts {
  bool InputClass = false;    // its class is on the input-class list
  bool Visible = false;       // it and its ancestors
  bool Enabled = false;
  bool ReadOnly = false;
  bool Password = false;
  bool DropDownList = false;  // a combo box that only lists
  bool MultiLine = false;     // a memo or rich edit: never replaced whole
  bool NoText = false;        // a standard control that takes no text at all
};

// The standard controls that take no text: buttons (check boxes and radio
// buttons too), static text, scroll bars, list and tree views, track bars,
// tabs, up-down controls, headers, progress bars, and a combo box that only
// lists. Keys sent there do nothing a barcode wants, or worse: Enter on a
// focused button clicks it. Class names compare as Windows compares them,
// without regard to letter case.
bool TakesNoText(std::u16string_view className, std::uint32_t style) noexcept;

// The facts of a control from its class name and style bits. The edit
// styles (read-only, password, multi-line) are read only for edit classes,
// the list style only for combo boxes: other classes use those bits for
// things of their own.
TControlFacts ControlFacts(std::u16string_view className, std::uint32_t style, bool visible, bool enabled) noexcept;

// A control whose text can be set: visible, enabled, not read-only, not a
// drop-down list.
bool TakesText(const TControlFacts& c) noexcept;
// What the search for a field may pick: an input control that takes text
// and is not a password field.
bool IsSearchCandidate(const TControlFacts& c) noexcept;

enum class TWay {
  kDirect,  // set the control's text, post Enter to it
  kPaste,   // the clipboard and the paste keys, where the focus is
  kSearch,  // no child has the focus: look for the first field
  kNone,    // the focus is on a control that takes no text: no key may go there
};

// The way for the control that has the keyboard focus in the window in
// front; none when the focus is that window itself or nothing.
TWay WayForFocus(const std::optional<TControlFacts>& focus) noexcept;

// The lParam of a posted WM_KEYDOWN / WM_KEYUP: repeat count 1, the scan
// code, the extended bit; a key-up also has its previous-state and
// transition bits set.
std::uint32_t KeyMessageLParam(std::uint16_t scanCode, bool extended, bool up) noexcept;

// Virtual keys of the modifiers the user may hold, each side its own.
inline constexpr std::uint8_t kHeldModifierKeys[] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0x5B, 0x5C};
// An unassigned key pressed before a held Alt or Win is released, so that
// the release opens neither the menu bar nor Start.
inline constexpr std::uint8_t kMaskKey = 0x97;

// The key events that release the held modifiers (of kHeldModifierKeys)
// before synthesized keys: the mask key first when an Alt or Win is held.
std::vector<TKeyEvent> ReleaseHeldModifiers(const std::vector<std::uint8_t>& held);
// Afterwards: those held modifiers that are still physically down, pressed
// again in the order they were held.
std::vector<TKeyEvent> PressAgain(const std::vector<std::uint8_t>& held, const std::vector<std::uint8_t>& releasedMeanwhile);

// Synthesized input and window messages from a process of lower integrity
// never reach one of higher integrity, and a level that cannot be read is
// taken as the highest. Our own level, when unreadable, is taken as medium.
inline constexpr std::uint32_t kMediumIntegrity = 0x2000;
bool TargetOutOfReach(std::optional<std::uint32_t> ownLevel, std::optional<std::uint32_t> targetLevel) noexcept;

enum class TNotEntered {
  kNone,           // entered
  kHung,           // the target stopped responding, or did not finish in time
  kElevated,       // the target runs at a higher integrity level
  kNoWindow,       // nothing to type into
  kClipboardBusy,  // another program held the clipboard
  kPasteRefused,   // the target took the paste keys but never asked for the text
  kNotInput,       // the focus is on a control that takes no text
  kBlocked,        // the system let fewer synthesized keys in than were sent
  kEnded,          // the program is exiting: not reported
};

// How a wait for the target ended.
enum class TWaitEnd {
  kDone,      // what was waited for happened
  kTimedOut,  // a limit of the wait's own passed
  kOverdue,   // 10 s passed with the target still answering
  kHung,      // Windows counts the target as hung
  kGone,      // the target's window went away
  kEnded,     // the program is exiting
};

// How far a barcode got into its target when a wait ended.
enum class TStage {
  kNothingIn,     // nothing of it has reached the target
  kPasteOffered,  // the paste keys went in; the target has not asked for the text
  kTextIn,        // the text is set or the paste taken; its Enter is not yet with the target
  kEnterIn,       // and its Enter is in the target's queue (or none was wanted)
};

// What the end of a wait means for the barcode. A window that vanished once
// its text and its Enter were in has got the barcode (a scan dialog that
// closes on Enter); a paste the target never asked for within the bound was
// not taken, unless the target is hung.
TNotEntered OutcomeOf(TWaitEnd end, TStage stage) noexcept;

// What the paste way has seen once its keys went out.
struct TPasteSeen {
  bool TakenByTarget = false;      // the target, or a reader we cannot name, asked for the text
  bool RenderedElsewhere = false;  // another program asked first: the target's own request cannot be seen
  bool KeysHandled = false;        // the target has taken every key sent
};
// Enter follows a paste only once the target asked for the text, or, where
// another program made it render, once the target took every key: on a
// paste not taken it would act on the field as it was (a button, a search).
bool EnterMayFollow(const TPasteSeen& seen) noexcept;

// The key-ups that undo the presses among the first inserted events of keys,
// the last pressed first, for a block the system cut short.
std::vector<TKeyEvent> KeysToRelease(const std::vector<TKeyEvent>& keys, std::size_t inserted);

// What became of one text.
struct TDeliveryOutcome {
  TNotEntered Reason = TNotEntered::kNone;
  // kElevated: the first time for this target process.
  bool FirstForProcess = false;
  // kPasteRefused in a program without a rule of its own: its file name.
  std::u16string UnruledProgram{};
  bool Entered() const noexcept { return Reason == TNotEntered::kNone; }
};

// The reason of the log line below ("目标程序无响应"); empty for kNone and kEnded.
std::u16string_view NotEnteredReason(TNotEntered reason) noexcept;
// The log line of a barcode that was not entered: "条码未录入（REASON）：" and
// the barcode, cut to 200 characters. Empty for kNone and kEnded.
std::u16string NotEnteredLogLine(TNotEntered reason, std::u16string_view barcode);
// A barcode as log lines show it: its first 200 characters.
std::u16string_view LoggedBarcode(std::u16string_view barcode) noexcept;

// The normalized absolute coordinate (0..65535 over the virtual screen) that
// lands on pixel p of a virtual screen starting at origin, extent pixels wide.
std::int32_t AbsoluteMouseCoordinate(std::int32_t p, std::int32_t origin, std::int32_t extent) noexcept;

}  // namespace qm
