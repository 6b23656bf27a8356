// The data directory and its small files: where they live, how they are read, what replaces them.
#include <gtest/gtest.h>

#include <windows.h>

#include <regex>

#include "core/data_dir.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// Aims APPDATA at a fresh folder for one test.
class DataDirTest : public testing::Test {
protected:
    TempFolder base;
    ScopedEnvironment appData{L"APPDATA", base.path().wstring()};
    fs::path Dir() const { return base.path() / L"Briskodesk"; }
    void Write(const wchar_t* name, const std::string& bytes) {
        fs::create_directories(Dir());
        WriteFileBytes(Dir() / name, bytes);
    }
};

bool IsFreshId(const std::string& id) { return std::regex_match(id, std::regex("[0-9a-f]{32}")); }

}  // namespace

TEST_F(DataDirTest, IsCreatedUnderAppDataOnEveryCall) {
    EXPECT_FALSE(fs::exists(Dir()));
    EXPECT_EQ(GetDataDirectory(), Dir());
    EXPECT_TRUE(fs::is_directory(Dir()));
    fs::remove_all(Dir());
    GetDataDirectory();
    EXPECT_TRUE(fs::is_directory(Dir()));
}

TEST_F(DataDirTest, MissingOrEmptyAppDataFallsBackToTheTemporaryDirectory) {
    for (const wchar_t* value : {L"", static_cast<const wchar_t*>(nullptr)}) {
        SetEnvironmentVariableW(L"APPDATA", value);
        EXPECT_EQ(GetDataDirectory(), fs::temp_directory_path() / L"Briskodesk");
    }
}

TEST_F(DataDirTest, AppDataLongerThanMaxPathIsReadWhole) {
    fs::path deep = base.path();
    while (deep.wstring().size() < 300) deep /= L"a-rather-long-folder-name-for-testing";
    ScopedEnvironment longAppData(L"APPDATA", deep.wstring());
    const fs::path dir = GetDataDirectory();
    EXPECT_EQ(dir, deep / L"Briskodesk");
    EXPECT_TRUE(fs::is_directory(dir));
}

TEST_F(DataDirTest, UncreatableDirectoryRaisesAFileSystemError) {
    WriteFileBytes(base.path() / L"not-a-folder", "x");
    ScopedEnvironment fileAsBase(L"APPDATA", (base.path() / L"not-a-folder").wstring());
    try {
        GetDataDirectory();
        FAIL() << "expected a file-system error";
    } catch (const fs::filesystem_error& error) {
        EXPECT_NE(std::string(error.what()).find("create_directories"), std::string::npos) << error.what();
    }
}

TEST_F(DataDirTest, DeviceIdFileRules) {
    const std::string hex32 = "0123456789abcdef0123456789abcdef";
    struct Case {
        const char* what;
        std::string content;
        std::string expected;  // empty: a fresh id replaces it
    } cases[] = {
        {"blanks and a line break around it", "  " + hex32 + "\n", hex32},
        {"40 arbitrary characters", "XYZ!XYZ!XYZ!XYZ!XYZ!XYZ!XYZ!XYZ!XYZ!XYZ!", "XYZ!XYZ!XYZ!XYZ!XYZ!XYZ!XYZ!XYZ!XYZ!XYZ!"},
        {"31 characters", hex32.substr(0, 31), ""},
        {"empty", "", ""},
        {"only white space", " \r\n\t ", ""},
    };
    for (const Case& c : cases) {
        Write(L"device-id.txt", c.content);
        const std::string id = LoadOrCreateDeviceId();
        if (c.expected.empty()) {
            EXPECT_TRUE(IsFreshId(id)) << c.what << ": " << id;
            EXPECT_EQ(ReadFileBytes(Dir() / L"device-id.txt"), id) << c.what;  // no line break
        } else {
            EXPECT_EQ(id, c.expected) << c.what;
            EXPECT_EQ(ReadFileBytes(Dir() / L"device-id.txt"), c.content) << c.what << " (file untouched)";
        }
    }
}

TEST_F(DataDirTest, DeviceIdIsMadeOnceAndKept) {
    const std::string first = LoadOrCreateDeviceId();
    EXPECT_TRUE(IsFreshId(first));
    EXPECT_EQ(LoadOrCreateDeviceId(), first);
    fs::remove(Dir() / L"device-id.txt");
    const std::string second = LoadOrCreateDeviceId();
    EXPECT_TRUE(IsFreshId(second));
    EXPECT_NE(second, first);
}

TEST(DeviceIdFormat, TwoLowerCaseDigitsPerByteInOrder) {
    const unsigned char bytes[16] = {0x00, 0x01, 0x0a, 0xff, 0x10, 0xab, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x7f};
    EXPECT_EQ(FormatDeviceId(bytes), "00010aff10ab000000000000000000" "7f");
}

TEST_F(DataDirTest, PrivacyMarkerRules) {
    EXPECT_FALSE(IsPrivacyAccepted()) << "missing file";
    struct Case {
        std::string content;
        bool accepted;
    } cases[] = {
        {"accepted", true},        {"accepted\n", true}, {"accepted\r\n", true}, {"accepted \t more", true},
        {"  accepted", true},      {"Accepted\n", false}, {"acceptedX\n", false},  {"accepte", false},
        {"", false},               {"\n", false},        {"yes accepted", false},
    };
    for (const Case& c : cases) {
        Write(L"privacy-and-terms-v3.accepted", c.content);
        EXPECT_EQ(IsPrivacyAccepted(), c.accepted) << "[" << c.content << "]";
    }
}

TEST_F(DataDirTest, RecordingTheAcceptanceWritesTheWordAndALineBreak) {
    Write(L"privacy-and-terms-v3.accepted", "something else entirely, longer than the marker");
    RecordPrivacyAcceptance();
    EXPECT_EQ(ReadFileBytes(Dir() / L"privacy-and-terms-v3.accepted"), "accepted\r\n");  // text mode
    EXPECT_TRUE(IsPrivacyAccepted());
}

TEST_F(DataDirTest, UninstallCleanupRemovesTheFolderAndTheSavedLogin) {
    Write(L"device-id.txt", "0123456789abcdef0123456789abcdef");
    Write(L"wake-hotkey.conf", "3 81\n");
    fs::create_directories(Dir() / L"nested");
    ASSERT_TRUE(WriteSavedLoginForTest(L"someone@example.com", L"secret"));
    ASSERT_TRUE(SavedLoginExists());
    WriteFileBytes(base.path() / L"sibling.txt", "kept");

    EXPECT_EQ(RunUninstallCleanup(), 0);
    EXPECT_FALSE(fs::exists(Dir()));
    EXPECT_FALSE(SavedLoginExists());
    EXPECT_TRUE(fs::exists(base.path() / L"sibling.txt")) << "nothing outside the data directory is touched";
}

TEST_F(DataDirTest, UninstallCleanupWithoutDataDirectoryOrCredentialSucceeds) {
    EXPECT_FALSE(SavedLoginExists());
    EXPECT_EQ(RunUninstallCleanup(), 0);
    EXPECT_FALSE(fs::exists(Dir()));
}

TEST_F(DataDirTest, UninstallCleanupReportsAnUncreatableDataDirectory) {
    WriteFileBytes(base.path() / L"not-a-folder", "x");
    ScopedEnvironment fileAsBase(L"APPDATA", (base.path() / L"not-a-folder").wstring());
    EXPECT_EQ(RunUninstallCleanup(), 1);
}

TEST_F(DataDirTest, ADeviceIdThatCannotBeKeptIsNeverHandedOut) {
    // "device-id.txt" is a folder here, so no id can be written: each call must fail rather than hand
    // out a new, unsaved id (a developer account would see a new device at every start).
    fs::create_directories(Dir() / L"device-id.txt");
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            const std::string id = LoadOrCreateDeviceId();
            ADD_FAILURE() << "an unsaved id was handed out: " << id;
        } catch (const std::exception&) {
        }
    }
}
