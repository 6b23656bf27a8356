// The saved login in the real Credential Manager, the pre-fill of the form at window creation and the
// remember checkbox. Every test removes the entry before and after itself.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincred.h>

#include <cstring>
#include <vector>

#include "account/login.h"
#include "account/saved_login.h"
#include "core/app_state.h"
#include "core/data_dir.h"
#include "core/form_fields.h"
#include "net/json_text.h"
#include "support/main_window_harness.h"
#include "support/test_support.h"

namespace {

class SavedLoginStore : public testing::Test {
protected:
    void SetUp() override { DeleteSavedLogin(); }
    void TearDown() override { DeleteSavedLogin(); }
};

TEST(SavedLoginRule, EntryContents) {
    const std::wstring password = L"pw密码";
    const std::vector<unsigned char> even = Utf16Bytes(password);
    std::vector<unsigned char> odd = even;
    odd.push_back(0x41);
    struct Case {
        const char* what;
        const wchar_t* user;
        const unsigned char* blob;
        size_t size;
        bool found;
        std::wstring password;
    };
    const Case cases[] = {
        {"complete", L"a@b.cn", even.data(), even.size(), true, password},
        {"odd blob", L"a@b.cn", odd.data(), odd.size(), false, L""},
        {"empty blob", L"a@b.cn", even.data(), 0, false, L""},
        {"no blob", L"a@b.cn", nullptr, 4, false, L""},
        {"empty user name", L"", even.data(), even.size(), false, L""},
        {"no user name", nullptr, even.data(), even.size(), false, L""},
    };
    for (const Case& c : cases) {
        const SavedLogin saved = InterpretSavedLogin(c.user, c.blob, c.size);
        EXPECT_EQ(saved.found, c.found) << c.what;
        EXPECT_EQ(saved.password, c.password) << c.what;
    }
}

TEST_F(SavedLoginStore, WriteStoresTheExactEntry) {
    const std::wstring user = L"Tester.Name@Example.COM";
    const std::wstring password = L"Pässwort-密码-1";
    ASSERT_TRUE(WriteSavedLogin(user, password));

    const RawSavedLogin entry = ReadRawSavedLogin();
    ASSERT_TRUE(entry.found);
    EXPECT_EQ(entry.targetName, L"Brisko.Pemmet.Login");
    EXPECT_EQ(entry.type, static_cast<DWORD>(CRED_TYPE_GENERIC));
    EXPECT_EQ(entry.persist, static_cast<DWORD>(CRED_PERSIST_LOCAL_MACHINE));
    EXPECT_EQ(entry.flags, 0u);
    EXPECT_EQ(entry.attributeCount, 0u);
    EXPECT_EQ(entry.user, user);
    EXPECT_EQ(entry.blob, Utf16Bytes(password)) << "UTF-16 code units, no terminator";

    const SavedLogin saved = ReadSavedLogin();
    EXPECT_TRUE(saved.found);
    EXPECT_EQ(saved.userName, user);
    EXPECT_EQ(saved.password, password);

    // Writing again replaces the entry.
    ASSERT_TRUE(WriteSavedLogin(L"other@example.com", L"x"));
    EXPECT_EQ(ReadSavedLogin().userName, L"other@example.com");
    EXPECT_EQ(ReadSavedLogin().password, L"x");
}

TEST_F(SavedLoginStore, EmptyTextsAreNotWritten) {
    EXPECT_FALSE(WriteSavedLogin(L"", L"password"));
    EXPECT_FALSE(SavedLoginExists());
    EXPECT_FALSE(WriteSavedLogin(L"a@b.cn", L""));
    EXPECT_FALSE(SavedLoginExists());
}

TEST_F(SavedLoginStore, MalformedEntriesAreNotFound) {
    std::vector<unsigned char> odd = Utf16Bytes(L"password");
    odd.pop_back();
    ASSERT_TRUE(WriteRawSavedLogin(L"a@b.cn", odd));
    EXPECT_FALSE(ReadSavedLogin().found) << "odd blob";
    ASSERT_TRUE(WriteRawSavedLogin(nullptr, Utf16Bytes(L"password")));
    EXPECT_FALSE(ReadSavedLogin().found) << "no user name";
    ASSERT_TRUE(WriteRawSavedLogin(L"", Utf16Bytes(L"password")));
    EXPECT_FALSE(ReadSavedLogin().found) << "empty user name";
    ASSERT_TRUE(WriteRawSavedLogin(L"a@b.cn", {}));
    EXPECT_FALSE(ReadSavedLogin().found) << "empty blob";
}

TEST_F(SavedLoginStore, DeleteRemovesTheEntryAndToleratesNone) {
    ASSERT_TRUE(WriteSavedLogin(L"a@b.cn", L"password"));
    DeleteSavedLogin();
    EXPECT_FALSE(SavedLoginExists());
    DeleteSavedLogin();
    EXPECT_FALSE(SavedLoginExists());
    EXPECT_FALSE(ReadSavedLogin().found);
}

// ---- the form ---------------------------------------------------------------------------------

class SavedLoginForm : public SavedLoginStore {
protected:
    void SetUp() override {
        SavedLoginStore::SetUp();
        appData_ = std::make_unique<ScopedEnvironment>(L"APPDATA", folder_.path().wstring());
    }
    void TearDown() override {
        if (harness_) harness_->WaitForStartupCheck();
        harness_.reset();
        appData_.reset();
        SavedLoginStore::TearDown();
    }
    void OpenMainWindow() {
        harness_ = std::make_unique<MainWindowHarness>();
        ASSERT_TRUE(harness_->Alive());
    }
    static bool RememberFlag() {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        return App().rememberPassword;
    }

    TempFolder folder_;
    std::unique_ptr<ScopedEnvironment> appData_;
    std::unique_ptr<MainWindowHarness> harness_;
};

TEST_F(SavedLoginForm, CreationPrefillsTheForm) {
    ASSERT_TRUE(WriteSavedLogin(L"Saved.User@Example.com", L"保存的密码-1"));
    OpenMainWindow();
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Account)), L"Saved.User@Example.com");
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), L"保存的密码-1");
    EXPECT_TRUE(RememberFlag());
}

TEST_F(SavedLoginForm, CreationWithoutEntryLeavesTheFormEmpty) {
    std::vector<unsigned char> odd = Utf16Bytes(L"password");
    odd.pop_back();
    ASSERT_TRUE(WriteRawSavedLogin(L"a@b.cn", odd));  // present but unusable
    OpenMainWindow();
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Account)), L"");
    EXPECT_EQ(MainWindowHarness::Text(FormFieldControl(FormField::Password)), L"");
    EXPECT_FALSE(RememberFlag());
}

TEST_F(SavedLoginForm, CreationReadsThePrivacyMarker) {
    ASSERT_NO_THROW(RecordPrivacyAcceptance());
    OpenMainWindow();
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_TRUE(App().privacyAccepted);
}

TEST_F(SavedLoginForm, UntickingDeletesAtOnceTickingWritesNothing) {
    ASSERT_TRUE(WriteSavedLogin(L"a@b.cn", L"password"));
    OpenMainWindow();
    ASSERT_TRUE(RememberFlag());

    ToggleRememberPassword();
    EXPECT_FALSE(RememberFlag());
    EXPECT_FALSE(SavedLoginExists()) << "deleted before any login";

    ToggleRememberPassword();
    EXPECT_TRUE(RememberFlag());
    EXPECT_FALSE(SavedLoginExists()) << "written only by the next successful login";

    // Outside the login form the box does not exist.
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        App().authFormMode = AuthFormMode::Register;
    }
    ToggleRememberPassword();
    EXPECT_TRUE(RememberFlag());
}

TEST_F(SavedLoginForm, AgreementToggleStaysInMemory) {
    OpenMainWindow();
    ToggleAgreement();
    {
        std::lock_guard<std::mutex> lock(App().stateMutex);
        EXPECT_TRUE(App().privacyAccepted);
    }
    EXPECT_FALSE(IsPrivacyAccepted()) << "the marker file is written by a successful login only";
    ToggleAgreement();
    std::lock_guard<std::mutex> lock(App().stateMutex);
    EXPECT_FALSE(App().privacyAccepted);
}

}  // namespace
