#pragma once
// <windows.h> for the platform layer. Its function-name macros would rename ProfileReader's
// GetPrivateProfileString in every file that sees them, so that one is taken back.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef GetPrivateProfileString

#include <memory>
#include <type_traits>

namespace cw {

// A handle of the system that is closed with close (CloseHandle, RegCloseKey, ...) when it goes;
// a null one is left alone.
template <auto close>
struct HandleCloser {
  void operator()(auto handle) const { close(handle); }
};
template <typename Handle, auto close>
using OwnedHandle = std::unique_ptr<std::remove_pointer_t<Handle>, HandleCloser<close>>;

}  // namespace cw
