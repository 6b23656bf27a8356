#include "target/blacklist_code.h"

#include <vector>

#include "core/app_state.h"
#include "core/clipboard.h"
#include "core/clock.h"
#include "core/form_fields.h"
#include "core/holders.h"
#include "core/library_module.h"
#include "net/json_text.h"

namespace {

constexpr int64_t kBlacklistCodeLifetimeMs = 7LL * 24 * 3600 * 1000;
constexpr size_t kDisplayNameMax = 100;
constexpr size_t kReasonMax = 255;
constexpr size_t kSealOverhead = 48;  // ephemeral public key (32) and authentication tag (16)
constexpr char kCodePrefix[] = "QVTR1.";

using SodiumInit = int (*)();
using Ed25519PkToCurve25519 = int (*)(unsigned char* curve25519Pk, const unsigned char* ed25519Pk);
using BoxSeal = int (*)(unsigned char* out, const unsigned char* message, unsigned long long length,
                        const unsigned char* recipientPk);

}  // namespace

BlacklistCodeRefusal CheckBlacklistCodeInputs(const BlacklistCodeInputs& in) {
    if (!in.loggedIn || in.signPublicKey.empty() || in.userId == 0)
        return {L"暂时不能生成", L"请等待软件完成登录后再生成授权码。"};
    if (!in.developer) return {L"没有开发者权限", L"软件黑名单采集仅对专用开发者账号开放。"};
    if (in.executableName.empty() || in.executableSha256.size() != 64)
        return {L"尚未选择程序", L"请先点击“选择目标程序”，用悬浮球确认要加入黑名单的软件。"};
    // The fields are checked as read in full: a name the picker wrote may be longer than the field
    // lets anyone type, and it must be refused, not cut.
    if (in.displayName.empty() || in.displayName.size() > kDisplayNameMax || in.reason.empty() ||
        in.reason.size() > kReasonMax)
        return {L"黑名单信息不完整", L"请填写软件显示名称和加入黑名单的原因。\n软件名称最多 100 字，拦截原因最多 255 字。"};
    return {};
}

std::string BuildBlacklistRecord(const BlacklistCodeInputs& in, int64_t issuedAtMs) {
    return "{\"v\":1,\"displayName\":\"" + JsonEscape(Utf16ToUtf8(in.displayName)) + "\",\"executableName\":\"" +
           JsonEscape(Utf16ToUtf8(in.executableName)) + "\",\"executableSha256\":\"" + in.executableSha256 +
           "\",\"blockReason\":\"" + JsonEscape(Utf16ToUtf8(in.reason)) + "\",\"userId\":" + std::to_string(in.userId) +
           ",\"issuedAtMs\":" + std::to_string(issuedAtMs) +
           ",\"expiresAtMs\":" + std::to_string(issuedAtMs + kBlacklistCodeLifetimeMs) + "}";
}

std::string SealForServiceWithLibrary(const std::wstring& libraryPath, const std::string& plaintext,
                                      const std::string& keyBase64) {
    const std::vector<uint8_t> key = Base64Decode(keyBase64);
    if (key.size() != 32 || plaintext.empty()) return {};
    ScopedModule sodium = LoadLibraryAt(libraryPath);
    if (!sodium) return {};
    const auto init = sodium.Find<SodiumInit>("sodium_init");
    const auto toCurve = sodium.Find<Ed25519PkToCurve25519>("crypto_sign_ed25519_pk_to_curve25519");
    const auto seal = sodium.Find<BoxSeal>("crypto_box_seal");
    if (!init || !toCurve || !seal) return {};

    std::vector<uint8_t> recipient(32, 0), sealed(plaintext.size() + kSealOverhead, 0);
    // sodium_init answers 1 when the library was already initialised: that is success too.
    if (init() < 0) return {};
    if (toCurve(recipient.data(), key.data()) != 0) return {};
    if (seal(sealed.data(), reinterpret_cast<const unsigned char*>(plaintext.data()), plaintext.size(),
             recipient.data()) != 0)
        return {};
    const std::string text = Base64Encode(sealed);
    return text.empty() ? std::string() : kCodePrefix + text;
}

std::string SealForService(const std::string& plaintext, const std::string& keyBase64) {
    return SealForServiceWithLibrary(SignatureLibraryPath(), plaintext, keyBase64);
}

BlacklistCodeInputs ReadBlacklistCodeInputs() {
    AppState& app = App();
    BlacklistCodeInputs inputs;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        inputs.loggedIn = app.session.logged_in;
        inputs.developer = app.session.developer_user;
        inputs.signPublicKey = app.session.sign_public_key;
        inputs.userId = app.session.id;
        // The program the form was filled for, not the click target: an ordinary pick since then
        // must not put another program's name and hash under the developer's display name.
        inputs.executableName = app.session.blacklistExecutableName;
        inputs.executableSha256 = app.session.blacklistExecutableSha256;
    }
    inputs.displayName = ReadFormField(FormField::SoftwareName);
    inputs.reason = ReadFormField(FormField::BlacklistReason);
    return inputs;
}

void GenerateBlacklistCode() {
    const BlacklistCodeInputs inputs = ReadBlacklistCodeInputs();
    HWND owner = App().mainWindow.load();

    const BlacklistCodeRefusal refusal = CheckBlacklistCodeInputs(inputs);
    if (!refusal.caption.empty()) {
        ShowMessage(refusal.text, refusal.caption.c_str(), MB_ICONWARNING);
        return;
    }
    const std::string code = SealForService(BuildBlacklistRecord(inputs, WallClockMs()), inputs.signPublicKey);
    if (code.empty()) {
        ShowMessage(L"加密授权码失败。请确认 libsodium.dll 与软件放在同一文件夹后重试。", L"生成失败", MB_ICONERROR);
        return;
    }
    if (!CopyTextToClipboard(owner, Utf8ToUtf16(code))) {
        ShowMessage(L"授权码已生成，但复制到剪贴板失败，请重试。", L"复制失败", MB_ICONERROR);
        return;
    }
    SetStatus(L"黑名单码已复制，请交给管理员导入", L"");
    ShowMessage(L"加密黑名单码已复制到剪贴板。\n\n请在 7 天内交给管理员，粘贴到后台“软件黑名单”页面导入。",
                L"黑名单码已复制", MB_ICONINFORMATION);
}
