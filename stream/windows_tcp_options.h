// TCP option numbers of Winsock that newer Windows SDKs define (ws2ipdef.h)
// and older mingw-w64 headers lack. The values are the system's, not ours.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>

#ifndef TCP_KEEPALIVE
#define TCP_KEEPALIVE 3
#endif
#ifndef TCP_KEEPIDLE
#define TCP_KEEPIDLE TCP_KEEPALIVE
#endif
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif
#ifndef TCP_KEEPINTVL
#define TCP_KEEPINTVL 17
#endif
#endif
