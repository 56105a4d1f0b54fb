#include "input/BarcodeText.h"

#include "platform/Utf8.h"

namespace qm {

TDeliveryText StripTrailingBreaks(std::u16string_view text) {
  TDeliveryText out;
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n')) {
    text.remove_suffix(1);
    out.EnterWanted = true;
  }
  out.Text.assign(text);
  return out;
}

std::string BarcodeFileBytes(std::u16string_view text) {
  std::string bytes = "\xEF\xBB\xBF";
  bytes += EncodeUtf8(text);
  bytes += "\r\n";
  return bytes;
}

}  // namespace qm
