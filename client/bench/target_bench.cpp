// Target figures: the throughput of HashFileSha256 on a 200 MB file against sha256sum on the same
// file in the same run, and the time IdentifyTargetAt takes over the test helper program. Both run on
// the user-interface thread when a pick is confirmed, so their time is how long the window freezes.
//
// `make bench` makes the file, times sha256sum on it (the file is in the page cache for both) and
// passes ORVANE_BENCH_HASH_FILE (Windows path), ORVANE_BENCH_SHA256SUM_MS and
// ORVANE_BENCH_SHA256SUM_HEX. Without them this program makes its own file and prints no ratio.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/holders.h"
#include "net/json_text.h"
#include "target/target_identity.h"

namespace {

constexpr uint64_t kFileBytes = 200ULL * 1000 * 1000;

std::wstring Environment(const wchar_t* name) {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    return length && length < buffer.size() ? std::wstring(buffer.data(), length) : std::wstring();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t index = std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5));
    return v[index];
}

template <typename Work>
double TimeMs(Work work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::filesystem::path ProgramFolder() {
    wchar_t buffer[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::filesystem::path(buffer).parent_path();
}

// A 200 MB file of its own, when the run did not hand one over.
std::wstring MakeOwnFile() {
    const std::filesystem::path file = std::filesystem::temp_directory_path() / L"orvane-hash-bench.bin";
    ScopedFile out(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!out) return {};
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + 17);
    for (uint64_t written = 0; written < kFileBytes;) {
        const DWORD part = static_cast<DWORD>(std::min<uint64_t>(block.size(), kFileBytes - written));
        DWORD done = 0;
        if (!WriteFile(out.get(), block.data(), part, &done, nullptr) || done == 0) break;
        written += done;
    }
    return file.wstring();
}

void HashFigures() {
    std::wstring file = Environment(L"ORVANE_BENCH_HASH_FILE");
    const std::string referenceHex = Utf16ToUtf8(Environment(L"ORVANE_BENCH_SHA256SUM_HEX"));
    const double referenceMs = std::wcstod(Environment(L"ORVANE_BENCH_SHA256SUM_MS").c_str(), nullptr);
    const bool ownFile = file.empty();
    if (ownFile) file = MakeOwnFile();
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (file.empty() || !GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &attributes)) {
        std::printf("hash: no file to hash\n");
        return;
    }
    const double megabytes =
        ((static_cast<uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow) / 1e6;

    HashFileSha256(file);  // page cache warm, as it was for sha256sum
    std::vector<double> runs;
    std::string hash;
    for (int i = 0; i < 5; ++i) runs.push_back(TimeMs([&] { hash = HashFileSha256(file); }));
    const double median = Percentile(runs, 0.5), worst = Percentile(runs, 1.0);
    std::printf("HashFileSha256 on %.0f MB: median %.0f ms (%.0f MB/s), best %.0f ms, worst %.0f ms over %zu runs\n",
                megabytes, median, megabytes / (median / 1000), Percentile(runs, 0.0), worst, runs.size());
    if (!referenceHex.empty()) {
        std::printf("sha256sum on the same file: %.0f ms (%.0f MB/s); HashFileSha256 takes %.2f x as long; digests %s\n",
                    referenceMs, megabytes / (referenceMs / 1000), median / referenceMs,
                    hash == referenceHex ? "agree" : "DIFFER");
    } else {
        std::printf("sha256sum: not measured in this run (start it through `make bench` for the ratio)\n");
    }
    std::printf("UI freeze when a 200 MB program is confirmed: about %.0f ms (worst %.0f ms) of hashing on the UI "
                "thread\n",
                median * (200.0 / megabytes), worst * (200.0 / megabytes));
    if (ownFile) DeleteFileW(file.c_str());
}

void IdentifyFigures() {
    const std::filesystem::path helper = ProgramFolder() / "target-helper.exe";
    const RECT area{1000, 600, 1300, 800};
    std::wstring command = L"\"" + helper.wstring() + L"\" 1000 600 300 200 120";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(helper.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::printf("IdentifyTargetAt: target-helper.exe could not be started\n");
        return;
    }
    ScopedHandle processHandle(process.hProcess), threadHandle(process.hThread);
    const POINT point{area.left + 10, (area.top + area.bottom) / 2};
    for (int i = 0; i < 500 && !IdentifyTargetAt(point).identified; ++i) Sleep(20);

    std::vector<double> runs;
    int identified = 0;
    for (int i = 0; i < 200; ++i)
        runs.push_back(TimeMs([&] { identified += IdentifyTargetAt(point).identified ? 1 : 0; }));
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    GetFileAttributesExW(helper.c_str(), GetFileExInfoStandard, &attributes);
    std::printf("IdentifyTargetAt over the helper (%lu KB): median %.2f ms, p99 %.2f ms, max %.2f ms; %d of %zu "
                "identified\n",
                attributes.nFileSizeLow / 1024, Percentile(runs, 0.5), Percentile(runs, 0.99), Percentile(runs, 1.0),
                identified, runs.size());
    TerminateProcess(processHandle.get(), 0);
    WaitForSingleObject(processHandle.get(), 5000);
}

}  // namespace

int wmain() {
    HashFigures();
    IdentifyFigures();
    return 0;
}
