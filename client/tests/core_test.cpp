// The ground floor: resource owners, wiping secrets, loading libraries by full path only, and waiting
// a bounded time for a call that cannot bound itself.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "account/login.h"
#include "core/bounded_call.h"
#include "core/holders.h"
#include "core/library_module.h"
#include "core/worker.h"
#include "net/json_text.h"
#include "support/test_support.h"

// Every allocation of this program is counted, so a test can tell how many buffers a call made.
namespace {
std::atomic<long> g_allocations{0};
}
void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

template <typename Text>
bool AllZero(const Text& text) {
    const auto* begin = text.data();
    return std::all_of(begin, begin + text.capacity(), [](auto c) { return c == 0; });
}

TEST(Secrets, AShortSecretLeftInAMovedFromStringIsWipedToo) {
    // A short text lives inside the string object; a move copies it and leaves the characters behind.
    std::string password = "pw-1";
    std::string taken = std::move(password);
    SecureWipe(password);
    EXPECT_TRUE(AllZero(password));
    std::wstring widePassword = L"密码";
    std::wstring wideTaken = std::move(widePassword);
    SecureWipe(widePassword);
    EXPECT_TRUE(AllZero(widePassword));
    SecureWipe(taken);
    SecureWipe(wideTaken);
    EXPECT_TRUE(AllZero(taken));
    EXPECT_TRUE(AllZero(wideTaken));
}

TEST(Secrets, EscapingAndTheLoginBodyAllocateOnceSoNoCopyIsLeftBehind) {
    // A buffer that grows leaves the old one with the password in it; one exact allocation does not.
    const struct {
        const char* name;
        std::string password;
    } cases[] = {
        {"plain", std::string(150, 'a')},
        {"every character escaped", std::string(200, '"')},
        {"control characters", std::string(120, '\x01')},
        {"mixed", std::string(60, '\\') + std::string(60, '\n') + "tail"},
    };
    const std::string account = "user@example.com";
    for (const auto& c : cases) {
        long before = g_allocations.load();
        std::string escaped = JsonEscape(c.password);
        EXPECT_EQ(g_allocations.load() - before, 1) << c.name;
        EXPECT_EQ(escaped.size(), escaped.capacity()) << c.name;
        before = g_allocations.load();
        std::string body = BuildLoginBody(account, c.password, true, std::string());
        // the escaped name, the escaped password and the body itself, each once
        EXPECT_EQ(g_allocations.load() - before, 3) << c.name;
        SecureWipe(body);
    }
}

TEST(Holders, ASelectedBitmapIsSelectedOutSoItCanBeDeleted) {
    ScopedMemoryDc dc(CreateCompatibleDC(nullptr));
    ASSERT_TRUE(dc);
    HGDIOBJ original = GetCurrentObject(dc.get(), OBJ_BITMAP);
    ScopedBitmap bitmap(CreateCompatibleBitmap(dc.get(), 8, 8));
    ASSERT_TRUE(bitmap);
    {
        SelectedObject selected(dc.get(), bitmap.get());
        EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), bitmap.get());
    }
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), original);
    EXPECT_TRUE(DeleteObject(bitmap.release())) << "still selected: it could not be deleted";
}

TEST(Holders, MovingPassesOwnershipAndReleasesOnlyOnce) {
    ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    const HANDLE raw = event.get();
    ScopedHandle moved(std::move(event));
    EXPECT_FALSE(event);
    EXPECT_EQ(moved.get(), raw);
    moved.reset();
    EXPECT_FALSE(moved);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(raw, &flags)) << "the handle should be closed";
}

TEST(LibraryLoading, OnlyAbsolutePathsAreEverLoaded) {
    const struct {
        const wchar_t* path;
        bool absolute;
    } cases[] = {
        {L"C:\\Program Files\\Orvane\\libsodium.dll", true},
        {L"c:/orvane/libsodium.dll", true},
        {L"\\\\server\\share\\libsodium.dll", true},
        {L"\\\\?\\C:\\very\\long\\libsodium.dll", true},
        {L"libsodium.dll", false},
        {L"", false},
        {L".\\libsodium.dll", false},
        {L"sub\\libsodium.dll", false},
        {L"C:libsodium.dll", false},
        {L"\\libsodium.dll", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsAbsoluteWindowsPath(c.path), c.absolute) << c.path;

    // The library sits in the current folder, where a bare name would find it: it must not be loaded.
    TempFolder folder;
    ASSERT_TRUE(CopyFileW((ProgramFolder() / L"libsodium.dll").c_str(), (folder.path() / L"libsodium.dll").c_str(), FALSE));
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(folder.path().c_str());
    EXPECT_FALSE(LoadLibraryAt(L"libsodium.dll"));
    EXPECT_TRUE(LoadLibraryAt((folder.path() / L"libsodium.dll").wstring()));
    SetCurrentDirectoryW(previous);

    const std::wstring own = SignatureLibraryPath();
    EXPECT_TRUE(IsAbsoluteWindowsPath(own)) << own;
    EXPECT_EQ(own.substr(own.size() - 14), L"\\libsodium.dll");
}

TEST(BoundedCall, AResultInTimeIsHandedOverAndALateOneIsDropped) {
    std::optional<int> quick = CallBefore<int>([] { return 42; }, MonotonicUs() + 2000000);
    ASSERT_TRUE(quick);
    EXPECT_EQ(*quick, 42);

    auto finished = std::make_shared<std::atomic<bool>>(false);
    const int64_t started = MonotonicUs();
    std::optional<int> late = CallBefore<int>(
        [finished] {
            Sleep(600);
            finished->store(true);
            return 7;
        },
        started + 100000);
    const int64_t waitedUs = MonotonicUs() - started;
    EXPECT_FALSE(late);
    EXPECT_LT(waitedUs, 550000) << "the caller waited for the late call";
    // The abandoned call still runs to its end on its own thread.
    EXPECT_TRUE(PumpUntil([&] { return finished->load(); }, 5000));

    EXPECT_FALSE(CallBefore<int>([] { return 1; }, MonotonicUs() - 1)) << "a deadline already past";
}

// How many handles this process holds: every value a handle can take, asked in turn.
int OpenHandleCount() {
    int count = 0;
    DWORD flags = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    return count;
}

TEST(Workers, FinishedWorkersLeaveNoHandleAndARefusedOneNeverRuns) {
    const int before = OpenHandleCount();
    auto finished = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(StartWorker([finished] { ++*finished; }));
    ASSERT_TRUE(PumpUntil([&] { return finished->load() == 100; }, 10000));
    // The last threads may still be on their way out after their job returned.
    PumpUntil([] { return false; }, 300);
    EXPECT_LT(OpenHandleCount() - before, 10) << "each worker's thread handle must be closed";

    // No thread to give: the job is destroyed unrun (so is what it owns) and the caller hears so.
    WorkersRefusedForTesting() = true;
    const bool started = StartWorker([finished] { ++*finished; });
    WorkersRefusedForTesting() = false;
    EXPECT_FALSE(started);
    EXPECT_EQ(finished.use_count(), 1) << "the refused job was not destroyed";
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(finished->load(), 100);
}

}  // namespace
