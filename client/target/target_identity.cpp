#include "target/target_identity.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "core/holders.h"

namespace {

constexpr DWORD kImagePathCapacity = 32768;  // the longest path Windows hands out, in UTF-16 units

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// Index just past `count` path components that start at `from` (each ended by a separator or the end).
size_t SkipComponents(const std::wstring& path, size_t from, int count) {
    size_t at = from;
    for (int i = 0; i < count && at < path.size(); ++i) {
        while (at < path.size() && !IsSeparator(path[at])) ++at;
        if (i + 1 < count && at < path.size()) ++at;  // the separator between the components
    }
    return at;
}

// Length of the root name: "C:", "\\server\share", "\\?\C:", "\\?\UNC\server\share", "\\.\PIPE", ….
size_t RootLength(const std::wstring& path) {
    const bool deviceForm = StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\");
    if (deviceForm) {
        if (path.compare(4, 4, L"UNC\\") == 0) return SkipComponents(path, 8, 2);
        if (path.size() >= 6 && IsDriveLetter(path[4]) && path[5] == L':') return 6;
        return SkipComponents(path, 4, 1);
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return SkipComponents(path, 2, 2);
    if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':') return 2;
    return 0;
}

// GetFullPathNameW, which also answers for paths beyond MAX_PATH (it reports the size it needs).
std::wstring FullPath(const std::wstring& path) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0) return {};
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(length + 1);
    }
    return {};
}

std::string HexDigest(const std::vector<uint8_t>& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (uint8_t byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

// One reusable read buffer, aligned for the hashing code's wide loads.
struct alignas(32) HashChunk {
    uint8_t bytes[kHashChunkBytes];
};

}  // namespace

std::wstring ExecutableNameFromPath(const std::wstring& path) {
    const size_t root = RootLength(path);
    size_t start = root;
    for (size_t i = root; i < path.size(); ++i)
        if (IsSeparator(path[i])) start = i + 1;
    return path.substr(start);
}

std::wstring LongPathForm(const std::wstring& absolutePath) {
    const std::wstring& p = absolutePath;
    if (StartsWith(p, L"\\\\?\\") || StartsWith(p, L"\\\\.\\")) return p;
    std::wstring literal = p;
    for (wchar_t& c : literal)
        if (c == L'/') c = L'\\';
    if (literal.size() >= 3 && IsDriveLetter(literal[0]) && literal[1] == L':' && literal[2] == L'\\')
        return L"\\\\?\\" + literal;
    if (literal.size() > 2 && literal[0] == L'\\' && literal[1] == L'\\' && literal[2] != L'\\')
        return L"\\\\?\\UNC\\" + literal.substr(2);
    return p;
}

std::wstring PathStem(const std::wstring& fileName) {
    const size_t dot = fileName.find_last_of(L'.');
    return dot == std::wstring::npos || dot == 0 ? fileName : fileName.substr(0, dot);
}

namespace {

// The hash of one stream read in chunks: `read` fills the buffer with up to `capacity` bytes, sets
// `got` (0 at the end) and returns false on a read error.
using ChunkReader = std::function<bool(uint8_t* buffer, DWORD capacity, DWORD& got)>;

std::string HashStreamSha256(const ChunkReader& read) {
    ScopedAlgorithm algorithm;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.out(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return {};
    DWORD objectLength = 0, digestLength = 0, written = 0;
    if (!BCRYPT_SUCCESS(BCryptGetProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                          sizeof objectLength, &written, 0)) ||
        !BCRYPT_SUCCESS(BCryptGetProperty(algorithm.get(), BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&digestLength),
                                          sizeof digestLength, &written, 0)) ||
        digestLength == 0)
        return {};
    std::vector<uint8_t> hashObject(objectLength), digest(digestLength);
    ScopedHash hash;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), hash.out(), hashObject.data(), objectLength, nullptr, 0, 0)))
        return {};

    auto chunk = std::make_unique<HashChunk>();
    for (;;) {
        DWORD got = 0;
        // A failed read must not look like the end of the file: the hash of a prefix would then be
        // taken for the program's own.
        if (!read(chunk->bytes, kHashChunkBytes, got)) return {};
        if (got == 0) break;
        if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), chunk->bytes, got, 0))) return {};
    }
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest.data(), digestLength, 0))) return {};
    return HexDigest(digest);
}

}  // namespace

std::string HashFileSha256(const std::wstring& path) {
    if (path.empty()) return {};
    const std::wstring full = FullPath(path);
    if (full.empty()) return {};
    // Other programs may hold the file open for writing (or be running from it): share everything.
    ScopedFile file(CreateFileW(LongPathForm(full).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return {};
    return HashStreamSha256([&file](uint8_t* buffer, DWORD capacity, DWORD& got) {
        got = 0;
        return ReadFile(file.get(), buffer, capacity, &got, nullptr) != FALSE;
    });
}

std::string HashBytesSha256(const std::string& bytes) {
    size_t next = 0;
    return HashStreamSha256([&bytes, &next](uint8_t* buffer, DWORD capacity, DWORD& got) {
        got = static_cast<DWORD>(std::min<size_t>(capacity, bytes.size() - next));
        std::memcpy(buffer, bytes.data() + next, got);
        next += got;
        return true;
    });
}

PointOwner PointOwnerAt(POINT point) {
    PointOwner owner;
    HWND window = WindowFromPoint(point);
    if (!window) window = GetShellWindow();
    if (!window) return owner;
    owner.root = GetAncestor(window, GA_ROOT);
    if (!owner.root) owner.root = window;
    GetWindowThreadProcessId(owner.root, &owner.processId);
    if (owner.processId == 0) return owner;
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner.processId));
    if (!process) return owner;
    std::vector<wchar_t> buffer(kImagePathCapacity);
    DWORD length = kImagePathCapacity;
    if (QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &length) && length > 0)
        owner.executablePath.assign(buffer.data(), length);
    return owner;
}

PointOwnerVerdict JudgePointOwner(DWORD ownerProcessId, const std::wstring& ownerPath, DWORD ownProcessId,
                                  const std::wstring& targetPath) {
    if (ownerProcessId != 0 && ownerProcessId == ownProcessId) return PointOwnerVerdict::OwnWindow;
    if (ownerPath.empty() || targetPath.empty() || ownerPath.size() != targetPath.size())
        return PointOwnerVerdict::OtherProgram;
    const int same = CompareStringOrdinal(ownerPath.c_str(), static_cast<int>(ownerPath.size()), targetPath.c_str(),
                                          static_cast<int>(targetPath.size()), TRUE);
    return same == CSTR_EQUAL ? PointOwnerVerdict::Target : PointOwnerVerdict::OtherProgram;
}

TargetIdentity IdentifyTargetAt(POINT point) {
    TargetIdentity result;
    const PointOwner owner = PointOwnerAt(point);
    if (owner.executablePath.empty()) return result;
    std::string hash = HashFileSha256(owner.executablePath);
    if (hash.size() != 64) return result;
    result.executable_name = ExecutableNameFromPath(owner.executablePath);
    result.executable_sha256 = std::move(hash);
    result.executable_path = owner.executablePath;
    result.processId = owner.processId;
    result.identified = true;
    return result;
}
