// Winsock must be included before <windows.h>, so the socket releases live here rather than in the
// header.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "core/holders.h"

#include <gdiplus.h>
#include <mmsystem.h>

void SocketTraits::Release(Handle handle) { closesocket(static_cast<SOCKET>(handle)); }

void AddressListTraits::Release(Handle handle) { freeaddrinfo(handle); }

TimerPeriod::TimerPeriod() : held_(timeBeginPeriod(1) == TIMERR_NOERROR) {}

TimerPeriod::~TimerPeriod() {
    if (held_) timeEndPeriod(1);
}

GdiplusSession::GdiplusSession() {
    Gdiplus::GdiplusStartupInput input;
    started_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
}

GdiplusSession::~GdiplusSession() {
    if (started_) Gdiplus::GdiplusShutdown(token_);
}
