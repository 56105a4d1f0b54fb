#pragma once
// The text of one delivery: its trailing line breaks and the bytes of
// barcode.txt. Pure: no <windows.h>.
#include <string>
#include <string_view>

namespace qm {

struct TDeliveryText {
  std::u16string Text;       // without the trailing CR and LF characters
  bool EnterWanted = false;  // at least one trailing line break was there
};

TDeliveryText StripTrailingBreaks(std::u16string_view text);

// The whole content of barcode.txt: the UTF-8 byte-order mark, the text as
// UTF-8 (line breaks included), CR LF.
std::string BarcodeFileBytes(std::u16string_view text);

}  // namespace qm
