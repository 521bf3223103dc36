#pragma once
// The address calls the core takes from <arpa/inet.h> on Linux (inet_addr, inet_pton,
// htonl and friends): Winsock has them under its own headers. windows.h comes with them;
// when it is first brought in here it is brought in lean, without the window and drawing
// parts, whose macros (WM_CLOSE, SetPort, min, ERROR...) would take our own names.

#ifndef _INC_WINDOWS
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef NOUSER
#define NOUSER
#endif
#ifndef NOGDI
#define NOGDI
#endif
#endif
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on
