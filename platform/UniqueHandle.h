#pragma once
// One owning handle template; the traits say what "empty" is and how to free.
#include <winsock2.h>
#include <windows.h>

#include <utility>

namespace qm {

template <typename Traits>
class UniqueHandle {
 public:
  using pointer = typename Traits::type;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(pointer h) noexcept : h_(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  pointer get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != Traits::Invalid(); }
  void reset(pointer h = Traits::Invalid()) noexcept {
    pointer old = std::exchange(h_, h);
    if (old != Traits::Invalid()) Traits::Close(old);
  }
  [[nodiscard]] pointer release() noexcept { return std::exchange(h_, Traits::Invalid()); }

 private:
  pointer h_ = Traits::Invalid();
};

struct HandleTraits {
  using type = HANDLE;
  static HANDLE Invalid() noexcept { return nullptr; }
  static void Close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct FileHandleTraits {
  using type = HANDLE;
  static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct HwndTraits {
  using type = HWND;
  static HWND Invalid() noexcept { return nullptr; }
  static void Close(HWND h) noexcept { ::DestroyWindow(h); }
};
struct HdcTraits {
  using type = HDC;
  static HDC Invalid() noexcept { return nullptr; }
  static void Close(HDC h) noexcept { ::DeleteDC(h); }
};
template <typename T>
struct GdiObjectTraits {
  using type = T;
  static T Invalid() noexcept { return nullptr; }
  static void Close(T h) noexcept { ::DeleteObject(h); }
};
struct SocketTraits {
  using type = SOCKET;
  static SOCKET Invalid() noexcept { return INVALID_SOCKET; }
  static void Close(SOCKET s) noexcept { ::closesocket(s); }
};
struct HkeyTraits {
  using type = HKEY;
  static HKEY Invalid() noexcept { return nullptr; }
  static void Close(HKEY h) noexcept { ::RegCloseKey(h); }
};
struct HglobalTraits {
  using type = HGLOBAL;
  static HGLOBAL Invalid() noexcept { return nullptr; }
  static void Close(HGLOBAL h) noexcept { ::GlobalFree(h); }
};
struct HmenuTraits {
  using type = HMENU;
  static HMENU Invalid() noexcept { return nullptr; }
  static void Close(HMENU h) noexcept { ::DestroyMenu(h); }
};
struct HiconTraits {
  using type = HICON;
  static HICON Invalid() noexcept { return nullptr; }
  static void Close(HICON h) noexcept { ::DestroyIcon(h); }
};

using UniqueKernelHandle = UniqueHandle<HandleTraits>;
using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueHwnd = UniqueHandle<HwndTraits>;
using UniqueHdc = UniqueHandle<HdcTraits>;
using UniqueHbitmap = UniqueHandle<GdiObjectTraits<HBITMAP>>;
using UniqueHfont = UniqueHandle<GdiObjectTraits<HFONT>>;
using UniqueHbrush = UniqueHandle<GdiObjectTraits<HBRUSH>>;
using UniqueSocket = UniqueHandle<SocketTraits>;
using UniqueHkey = UniqueHandle<HkeyTraits>;
using UniqueHglobal = UniqueHandle<HglobalTraits>;
using UniqueHmenu = UniqueHandle<HmenuTraits>;
using UniqueHicon = UniqueHandle<HiconTraits>;

}  // namespace qm
