// Identifying the program under a point and hashing its executable: real processes, real files, and
// expected digests computed outside the client (sha256sum on the build machine, Python's hashlib).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "net/json_text.h"
#include "support/target_helper.h"
#include "support/test_support.h"
#include "target/desktop_system.h"
#include "target/target_identity.h"

namespace fs = std::filesystem;

namespace {

// Bytes (i × 31 + 7) mod 256; their digests were computed with Python's hashlib.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    return bytes;
}

struct DigestCase {
    size_t size;
    const char* sha256;
};
const DigestCase kDigests[] = {
    {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {1, "ca358758f6d27e6cf45272937977a748fd88391db679ceda7dc7bf1f005ee879"},
    {1048575, "4ddf525d0f1482ae9ed8ff016e61988dfab2707743585ac310be210689ddb8d6"},
    {1048576, "06b7bbfb7824aa03382051691630eb26de85102d1b08a81e907ec0744cd8a286"},  // exactly one chunk
    {1048577, "0d09f3eabb5c78e5d435c41e3b3755f1c4d038657f739d0be0083c24e71235df"},
    {5 * 1048576 + 123, "e15827d39a3e9d5a2a75d0e0fabed8b7e27218ca7b4101abd0a2b885698a62f4"},
};

// A folder chain below `base` whose full path is longer than MAX_PATH, made with the "\\?\" form.
std::wstring MakeLongFolder(const fs::path& base) {
    std::wstring folder = fs::absolute(base).wstring();
    while (folder.size() < 320) {
        folder += L"\\folder-with-a-rather-long-name-" + std::to_wstring(folder.size());
        if (!CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr)) return {};
    }
    return folder;
}

TEST(HashFileSha256, StandardDigestsAcrossChunkBoundaries) {
    TempFolder folder;
    for (const DigestCase& c : kDigests) {
        const fs::path file = folder.path() / ("pattern-" + std::to_string(c.size) + ".bin");
        WriteFileBytes(file, Pattern(c.size));
        EXPECT_EQ(HashFileSha256(file.wstring()), c.sha256) << c.size << " bytes";
    }
}

TEST(HashFileSha256, PathsBeyondMaxPathAndUnreadablePaths) {
    TempFolder folder;
    const std::wstring longFolder = MakeLongFolder(folder.path());
    ASSERT_FALSE(longFolder.empty());
    const std::wstring longFile = longFolder + L"\\program.exe";
    ASSERT_GT(longFile.size(), 300u);
    const std::string bytes = Pattern(1048577);
    HANDLE out = CreateFileW((L"\\\\?\\" + longFile).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(out);
    EXPECT_EQ(HashFileSha256(longFile), kDigests[4].sha256) << "plain long path";
    std::wstring slashes = longFile;
    for (wchar_t& c : slashes)
        if (c == L'\\') c = L'/';
    EXPECT_EQ(HashFileSha256(slashes), kDigests[4].sha256) << "long path with forward slashes";

    EXPECT_EQ(HashFileSha256((folder.path() / "missing.exe").wstring()), "");
    EXPECT_EQ(HashFileSha256(folder.path().wstring()), "") << "a folder is not a program file";
    EXPECT_EQ(HashFileSha256(L""), "");
}

TEST(HashFileSha256, OpenForWritingElsewhereStillHashes) {
    TempFolder folder;
    const fs::path file = folder.path() / "busy.exe";
    WriteFileBytes(file, Pattern(1));
    HANDLE writer = CreateFileW(file.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(HashFileSha256(file.wstring()), kDigests[1].sha256);
    CloseHandle(writer);
}

// A read that fails part-way must not end the stream as if at its end. A pipe whose writer goes away
// after 2.5 MiB fails the next read (ERROR_BROKEN_PIPE) where a file would have gone on.
TEST(HashFileSha256, ReadErrorMidStreamIsNoHash) {
    const std::wstring name = L"\\\\.\\pipe\\orvane-hash-" + std::to_wstring(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1 << 20, 0, 0,
                                   nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    std::thread writer([pipe] {
        ConnectNamedPipe(pipe, nullptr);
        const std::string bytes = Pattern(2 * 1048576 + 524288);
        DWORD written = 0;
        WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        FlushFileBuffers(pipe);
        CloseHandle(pipe);  // the reader's next read fails
    });
    const std::string hash = HashFileSha256(name);
    writer.join();
    EXPECT_EQ(hash, "") << "the hash of what was read before the error is no program's hash";
}

TEST(TargetPathText, NamesStemsAndLongForms) {
    struct NameCase {
        const wchar_t* path;
        const wchar_t* name;
    };
    const NameCase names[] = {
        {L"C:\\Program Files\\Tool\\tool.exe", L"tool.exe"},
        {L"C:/Tools/mixed\\slash.exe", L"slash.exe"},
        {L"C:tool.exe", L"tool.exe"},
        {L"\\\\server\\share\\apps\\remote.exe", L"remote.exe"},
        {L"\\\\server\\share", L""},
        {L"\\\\?\\C:\\very\\long.exe", L"long.exe"},
        {L"\\\\?\\UNC\\server\\share\\x\\unc.exe", L"unc.exe"},
        {L"\\\\?\\UNC\\server\\share", L""},
        {L"C:\\", L""},
        {L"plain.exe", L"plain.exe"},
    };
    for (const NameCase& c : names) EXPECT_EQ(ExecutableNameFromPath(c.path), c.name) << fs::path(c.path).string();

    EXPECT_EQ(PathStem(L"Tool.v2.exe"), L"Tool.v2");
    EXPECT_EQ(PathStem(L"tool"), L"tool");
    EXPECT_EQ(PathStem(L".hidden"), L".hidden");
    EXPECT_EQ(PathStem(L"记事本.exe"), L"记事本");

    EXPECT_EQ(LongPathForm(L"C:\\a\\b.exe"), L"\\\\?\\C:\\a\\b.exe");
    EXPECT_EQ(LongPathForm(L"d:/a/b.exe"), L"\\\\?\\d:\\a\\b.exe");
    EXPECT_EQ(LongPathForm(L"\\\\server\\share\\b.exe"), L"\\\\?\\UNC\\server\\share\\b.exe");
    EXPECT_EQ(LongPathForm(L"\\\\?\\C:\\a"), L"\\\\?\\C:\\a");
    EXPECT_EQ(LongPathForm(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
    EXPECT_EQ(LongPathForm(L"relative\\b.exe"), L"relative\\b.exe");
}

// Whom a click at the point would reach, against the program confirmed at the pick.
TEST(JudgePointOwner, OnlyTheConfirmedProgramsOwnPathPasses) {
    using V = PointOwnerVerdict;
    const std::wstring target = L"C:\\Tools\\target-helper.exe";
    const struct {
        const char* name;
        DWORD owner;
        std::wstring path;
        V verdict;
    } cases[] = {
        {"the confirmed program", 40, target, V::Target},
        {"the same path in other letter case", 40, L"c:\\tools\\TARGET-HELPER.EXE", V::Target},
        {"this program's own window", 7, L"C:\\Program Files\\Orvane\\Orvane.exe", V::OwnWindow},
        {"this program's window, whatever its path", 7, target, V::OwnWindow},
        {"a copy of the program elsewhere", 41, L"D:\\Tools\\target-helper.exe", V::OtherProgram},
        {"another program", 42, L"C:\\Windows\\notepad.exe", V::OtherProgram},
        {"a process that cannot be asked", 43, L"", V::OtherProgram},
        {"a longer path that starts alike", 44, target + L".bak", V::OtherProgram},
        {"no process at all", 0, L"", V::OtherProgram},
    };
    for (const auto& c : cases) EXPECT_EQ(JudgePointOwner(c.owner, c.path, 7, target), c.verdict) << c.name;
    EXPECT_EQ(JudgePointOwner(40, target, 7, L""), V::OtherProgram) << "no confirmed program, nothing matches";
}

// Whether Windows lets a click reach the program, from the integrity levels of both; and the screen
// saver's warning before a wait that outlasts it.
TEST(JudgeReach, AProgramAboveThisOneOrOfUnknownLevelIsRefused) {
    const struct {
        const char* name;
        bool targetKnown;
        DWORD target;
        bool ownKnown;
        DWORD own;
        Reach reach;
    } cases[] = {
        {"both medium", true, SECURITY_MANDATORY_MEDIUM_RID, true, SECURITY_MANDATORY_MEDIUM_RID, Reach::Reachable},
        {"target below (a low-integrity sandbox)", true, SECURITY_MANDATORY_LOW_RID, true, SECURITY_MANDATORY_MEDIUM_RID, Reach::Reachable},
        {"target elevated", true, SECURITY_MANDATORY_HIGH_RID, true, SECURITY_MANDATORY_MEDIUM_RID, Reach::Elevated},
        {"medium plus (uiAccess) over medium", true, SECURITY_MANDATORY_MEDIUM_RID + 0x100, true, SECURITY_MANDATORY_MEDIUM_RID, Reach::Elevated},
        {"both elevated", true, SECURITY_MANDATORY_HIGH_RID, true, SECURITY_MANDATORY_HIGH_RID, Reach::Reachable},
        {"a system process over an elevated one", true, SECURITY_MANDATORY_SYSTEM_RID, true, SECURITY_MANDATORY_HIGH_RID, Reach::Elevated},
        {"target unreadable", false, 0, true, SECURITY_MANDATORY_HIGH_RID, Reach::Unreadable},
        {"own level unreadable", true, SECURITY_MANDATORY_LOW_RID, false, 0, Reach::Unreadable},
    };
    for (const auto& c : cases) EXPECT_EQ(JudgeReach(c.targetKnown, c.target, c.ownKnown, c.own), c.reach) << c.name;
    EXPECT_EQ(ReachRefusalText(Reach::Reachable), L"");
    EXPECT_NE(ReachRefusalText(Reach::Elevated).find(L"管理员身份运行"), std::wstring::npos);
    EXPECT_NE(ReachRefusalText(Reach::Unreadable), ReachRefusalText(Reach::Elevated));
    // What wine's processes report: one level for all, so every ordinary pick passes.
    DWORD own = 0, other = 0;
    ASSERT_TRUE(RealDesktopSystem().ownIntegrity(own));
    EXPECT_TRUE(RealDesktopSystem().processIntegrity(GetCurrentProcessId(), other));
    EXPECT_EQ(own, other);
    EXPECT_FALSE(RealDesktopSystem().processIntegrity(0, other)) << "no process, no level";
    EXPECT_TRUE(RealDesktopSystem().inputDesktopIsOurs());

    const struct {
        int saverSeconds;
        int64_t untilInstantSeconds;
        bool warned;
    } savers[] = {{0, 86400, false}, {600, 599, false}, {600, 600, false}, {600, 601, true}, {60, 3600, true}, {-1, 3600, false}};
    for (const auto& c : savers)
        EXPECT_EQ(!ScreenSaverWarning(c.saverSeconds, c.untilInstantSeconds).empty(), c.warned)
            << c.saverSeconds << " s saver, instant in " << c.untilInstantSeconds << " s";
    EXPECT_NE(ScreenSaverWarning(90, 3600).find(L"无操作 2 分钟后"), std::wstring::npos) << "whole minutes, rounded up";
}

// ---- real processes ----------------------------------------------------------------------------

TEST(IdentifyTargetAt, WindowAndChildControlGiveTheProgramAndItsHash) {
    const std::string expected = TargetHelper::BuiltProgramSha256();
    ASSERT_EQ(expected.size(), 64u) << "target-helper.exe.sha256 is made by the build";
    TargetHelper helper({900, 600, 1200, 800});
    ASSERT_TRUE(helper.Ready());
    for (POINT point : {helper.BodyPoint(), helper.ChildPoint()}) {
        const TargetIdentity identity = IdentifyTargetAt(point);
        EXPECT_TRUE(identity.identified) << point.x << "," << point.y;
        EXPECT_EQ(identity.executable_name, L"target-helper.exe");
        EXPECT_EQ(identity.executable_sha256, expected);
        EXPECT_EQ(JudgePointOwner(helper.processId(), identity.executable_path, GetCurrentProcessId(),
                                  TargetHelper::BuiltProgram().wstring()),
                  PointOwnerVerdict::Target)
            << Utf16ToUtf8(identity.executable_path);
        const PointOwner owner = PointOwnerAt(point);
        EXPECT_EQ(owner.root, helper.window());
        EXPECT_EQ(owner.processId, helper.processId());
    }
    EXPECT_NE(WindowFromPoint(helper.ChildPoint()), helper.window()) << "the second point lies over the child";
}

TEST(IdentifyTargetAt, ProgramWhoseFileIsGoneFromItsPathIsNotIdentified) {
    TempFolder folder;
    // A copy under the same name (the test run keeps that name's windows out of window management).
    const fs::path program = folder.path() / "target-helper.exe";
    fs::copy_file(TargetHelper::BuiltProgram(), program);
    TargetHelper helper({900, 600, 1200, 800}, program);
    ASSERT_TRUE(helper.Ready());
    ASSERT_TRUE(IdentifyTargetAt(helper.BodyPoint()).identified);
    // A running program's file cannot be deleted, but it can be moved away from the path the process
    // was started from, as an updater or an uninstaller does.
    ASSERT_TRUE(MoveFileW(program.wstring().c_str(), (folder.path() / "moved-away.bin").wstring().c_str()));
    const TargetIdentity identity = IdentifyTargetAt(helper.BodyPoint());
    EXPECT_FALSE(identity.identified);
    EXPECT_EQ(identity.executable_sha256, "");
}

}  // namespace
