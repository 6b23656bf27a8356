#include "support/target_helper.h"

#include <sstream>
#include <string>

TargetHelper::TargetHelper(const RECT& area, const std::filesystem::path& program,
                           const std::filesystem::path& recordFile)
    : area_(area), recordFile_(recordFile) {
    std::wstring arguments = std::to_wstring(area.left) + L" " + std::to_wstring(area.top) + L" " +
                             std::to_wstring(area.right - area.left) + L" " + std::to_wstring(area.bottom - area.top);
    if (!recordFile.empty()) arguments += L" 120 \"" + recordFile.wstring() + L"\"";
    program_ = std::make_unique<RunningProgram>(program, arguments);
    if (!program_->started()) return;
    const DWORD id = program_->id();
    PumpUntil([this, id] { return (window_ = FindTopLevelWindowOf(id, L"OrvaneTargetHelper", true)) != nullptr; },
              15000);
}

POINT TargetHelper::BodyPoint() const { return {area_.left + 10, (area_.top + area_.bottom) / 2}; }

POINT TargetHelper::ChildPoint() const { return {area_.right - 10, (area_.top + area_.bottom) / 2}; }

std::vector<int64_t> TargetHelper::Presses() const {
    std::vector<int64_t> presses;
    if (recordFile_.empty()) return presses;
    const std::string text = ReadFileBytes(recordFile_);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        if (line.rfind("down ", 0) == 0) presses.push_back(std::stoll(line.substr(5)));
        start = end + 1;
    }
    return presses;
}

std::vector<POINT> TargetHelper::PressPoints(const std::string& kind) const {
    std::vector<POINT> points;
    if (recordFile_.empty()) return points;
    std::istringstream lines(ReadFileBytes(recordFile_));
    std::string what;
    long long atUs = 0;
    POINT at{};
    while (lines >> what >> atUs >> at.x >> at.y)
        if (what == kind) points.push_back(at);
    return points;
}

std::filesystem::path TargetHelper::BuiltProgram() { return ProgramFolder() / "target-helper.exe"; }

std::string TargetHelper::BuiltProgramSha256() {
    std::string text = ReadFileBytes(ProgramFolder() / "target-helper.exe.sha256");
    return text.substr(0, 64);
}
