// One small owner per kind of Windows resource the client takes. Every function that takes a
// resource keeps it in one of these, so every return path releases it and nothing is released by
// hand. Owners move but never copy.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>
#include <wincred.h>
#include <winhttp.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

// ---- the generic owner -------------------------------------------------------------------------

// How many GDI objects and memory DCs the holders own right now. Painting takes several per frame;
// one that is not given back per countdown frame exhausts the process's GDI quota in minutes, so
// tests compare this count before and after thousands of paints (GetGuiResources says 0 under wine).
inline std::atomic<long>& LiveGdiHolderCount() {
    static std::atomic<long> count{0};
    return count;
}

// Traits that set `kCountsGdi` take part in LiveGdiHolderCount.
template <typename Traits>
concept CountsGdi = requires { Traits::kCountsGdi; };

// Owns one value of `Traits::Handle`; `Traits::Invalid()` is the empty value and `Traits::Release`
// gives the resource back.
template <typename Traits>
class Holder {
public:
    using Handle = typename Traits::Handle;

    Holder() = default;
    explicit Holder(Handle handle) : handle_(handle) { Took(handle); }
    ~Holder() { reset(); }
    Holder(Holder&& other) noexcept : handle_(std::exchange(other.handle_, Traits::Invalid())) {}
    Holder& operator=(Holder&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::Invalid(); }

    // For functions that hand a new resource out through a pointer; releases the old one first.
    // (GDI objects are always returned, never handed out this way, so their count stays exact.)
    Handle* out()
        requires(!CountsGdi<Traits>)
    {
        reset();
        return &handle_;
    }
    Handle release() {
        Handle handle = handle_;
        if (handle != Traits::Invalid()) Gave(handle);
        handle_ = Traits::Invalid();
        return handle;
    }
    void reset(Handle handle = Traits::Invalid()) {
        if (handle_ != Traits::Invalid()) {
            Traits::Release(handle_);
            Gave(handle_);
        }
        handle_ = handle;
        Took(handle);
    }

private:
    static void Took(Handle handle) {
        if constexpr (CountsGdi<Traits>)
            if (handle != Traits::Invalid()) ++LiveGdiHolderCount();
    }
    static void Gave(Handle) {
        if constexpr (CountsGdi<Traits>) --LiveGdiHolderCount();
    }

    Handle handle_ = Traits::Invalid();
};

struct KernelHandleTraits {  // events, timers, threads, processes: null when empty
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { CloseHandle(handle); }
};
struct FileHandleTraits {  // CreateFileW: INVALID_HANDLE_VALUE when empty
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(Handle handle) { CloseHandle(handle); }
};
struct ModuleTraits {
    using Handle = HMODULE;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { FreeLibrary(handle); }
};
struct InternetHandleTraits {  // WinHTTP sessions, connections and requests
    using Handle = HINTERNET;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { WinHttpCloseHandle(handle); }
};
template <typename Object>
struct GdiObjectTraits {  // fonts, brushes, pens, bitmaps, regions
    using Handle = Object;
    static constexpr bool kCountsGdi = true;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { DeleteObject(handle); }
};
struct MemoryDcTraits {  // CreateCompatibleDC
    using Handle = HDC;
    static constexpr bool kCountsGdi = true;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { DeleteDC(handle); }
};
struct CredentialTraits {  // CredReadW's answer
    using Handle = PCREDENTIALW;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { CredFree(handle); }
};
struct AlgorithmTraits {  // BCryptOpenAlgorithmProvider
    using Handle = BCRYPT_ALG_HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { BCryptCloseAlgorithmProvider(handle, 0); }
};
struct HashTraits {  // BCryptCreateHash
    using Handle = BCRYPT_HASH_HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { BCryptDestroyHash(handle); }
};
struct GlobalMemoryTraits {  // GlobalAlloc (for example clipboard data not handed over)
    using Handle = HGLOBAL;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle) { GlobalFree(handle); }
};
// Winsock is kept out of this header (it must come before <windows.h>); its two releases live in
// holders.cpp.
struct SocketTraits {
    using Handle = UINT_PTR;  // SOCKET
    static Handle Invalid() { return ~static_cast<UINT_PTR>(0); }  // INVALID_SOCKET
    static void Release(Handle handle);
};
struct AddressListTraits {
    using Handle = struct addrinfo*;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle handle);
};

using ScopedHandle = Holder<KernelHandleTraits>;
using ScopedFile = Holder<FileHandleTraits>;
using ScopedInternet = Holder<InternetHandleTraits>;
using ScopedFont = Holder<GdiObjectTraits<HFONT>>;
using ScopedBrush = Holder<GdiObjectTraits<HBRUSH>>;
using ScopedPen = Holder<GdiObjectTraits<HPEN>>;
using ScopedBitmap = Holder<GdiObjectTraits<HBITMAP>>;
using ScopedRegion = Holder<GdiObjectTraits<HRGN>>;
using ScopedMemoryDc = Holder<MemoryDcTraits>;
using ScopedCredential = Holder<CredentialTraits>;
using ScopedAlgorithm = Holder<AlgorithmTraits>;
using ScopedHash = Holder<HashTraits>;
using ScopedGlobalMemory = Holder<GlobalMemoryTraits>;
using ScopedSocket = Holder<SocketTraits>;
using ScopedAddressList = Holder<AddressListTraits>;

// A loaded library; `Find` looks up one export.
class ScopedModule : public Holder<ModuleTraits> {
public:
    ScopedModule() = default;
    explicit ScopedModule(HMODULE module) : Holder(module) {}

    // The exported function `name` as a pointer of type T, or null.
    template <typename T>
    T Find(const char* name) const {
        return get() ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(get(), name))) : nullptr;
    }
};

// ---- owners with more than a handle -----------------------------------------------------------

// A device context of a window (GetDC), given back with ReleaseDC.
class WindowDc {
public:
    explicit WindowDc(HWND window) : window_(window), dc_(GetDC(window)) {}
    ~WindowDc() {
        if (dc_) ReleaseDC(window_, dc_);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC get() const { return dc_; }
    explicit operator bool() const { return dc_ != nullptr; }

private:
    HWND window_;
    HDC dc_;
};

// The painting pair BeginPaint / EndPaint.
class PaintScope {
public:
    explicit PaintScope(HWND window) : window_(window) { dc_ = BeginPaint(window, &paint_); }
    ~PaintScope() { EndPaint(window_, &paint_); }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;
    HDC dc() const { return dc_; }
    const RECT& area() const { return paint_.rcPaint; }

private:
    HWND window_;
    PAINTSTRUCT paint_{};
    HDC dc_ = nullptr;
};

// Selects an object into a device context and selects the previous one back when the scope ends,
// so that the object can be deleted afterwards (a bitmap still selected cannot be).
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(dc && object ? SelectObject(dc, object) : nullptr) {}
    ~SelectedObject() {
        if (previous_ && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// Holds the 1 ms system timer period (timeBeginPeriod / timeEndPeriod) for one scope.
class TimerPeriod {
public:
    TimerPeriod();
    ~TimerPeriod();
    TimerPeriod(const TimerPeriod&) = delete;
    TimerPeriod& operator=(const TimerPeriod&) = delete;

private:
    bool held_;
};

// GDI+ from GdiplusStartup to GdiplusShutdown (started once per run, before any window paints).
class GdiplusSession {
public:
    GdiplusSession();
    ~GdiplusSession();
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;
    bool started() const { return started_; }

private:
    ULONG_PTR token_ = 0;
    bool started_ = false;
};

// Sets this thread's priority for one scope and restores the previous one on every path.
class ThreadPriority {
public:
    explicit ThreadPriority(int priority)
        : thread_(GetCurrentThread()), previous_(GetThreadPriority(thread_)) {
        SetThreadPriority(thread_, priority);
    }
    ~ThreadPriority() {
        if (previous_ != THREAD_PRIORITY_ERROR_RETURN) SetThreadPriority(thread_, previous_);
    }
    ThreadPriority(const ThreadPriority&) = delete;
    ThreadPriority& operator=(const ThreadPriority&) = delete;

private:
    HANDLE thread_;
    int previous_;
};

// The clipboard between OpenClipboard and CloseClipboard.
class ClipboardScope {
public:
    explicit ClipboardScope(HWND owner) : open_(OpenClipboard(owner) != FALSE) {}
    ~ClipboardScope() {
        if (open_) CloseClipboard();
    }
    ClipboardScope(const ClipboardScope&) = delete;
    ClipboardScope& operator=(const ClipboardScope&) = delete;
    explicit operator bool() const { return open_; }

private:
    bool open_;
};

// The memory of a movable global block between GlobalLock and GlobalUnlock.
class GlobalLockScope {
public:
    explicit GlobalLockScope(HGLOBAL memory) : memory_(memory), data_(memory ? GlobalLock(memory) : nullptr) {}
    ~GlobalLockScope() {
        if (data_) GlobalUnlock(memory_);
    }
    GlobalLockScope(const GlobalLockScope&) = delete;
    GlobalLockScope& operator=(const GlobalLockScope&) = delete;
    void* data() const { return data_; }

private:
    HGLOBAL memory_;
    void* data_;
};

// COM on this thread, as the shell wants it before it opens an address (a protocol handler may be a
// COM object): a single-threaded apartment from CoInitializeEx to CoUninitialize. A thread that
// already has another apartment keeps it and uninitialises nothing.
class ComApartment {
public:
    ComApartment() : entered_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
    ~ComApartment() {
        if (entered_) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool entered_;
};

// ---- secrets -------------------------------------------------------------------------------------

// Overwrites a secret (a password copy, a request body that carries one) with zeros in a way the
// compiler may not remove, then empties the container. The container keeps its buffer, so a short
// text in the string's own inline buffer is wiped too.
inline void SecureWipe(std::string& text) {
    if (text.capacity() > 0) SecureZeroMemory(text.data(), text.capacity());
    text.clear();
}

inline void SecureWipe(std::wstring& text) {
    if (text.capacity() > 0) SecureZeroMemory(text.data(), text.capacity() * sizeof(wchar_t));
    text.clear();
}

// Wipes the secret when the scope ends, on every path.
template <typename Text>
class WipeOnExit {
public:
    explicit WipeOnExit(Text& text) : text_(text) {}
    ~WipeOnExit() { SecureWipe(text_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    Text& text_;
};
