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
