#include "support/target_helper.h"

#include <string>

TargetHelper::TargetHelper(const RECT& area, const std::filesystem::path& program) : area_(area) {
    const std::wstring arguments = std::to_wstring(area.left) + L" " + std::to_wstring(area.top) + L" " +
                                   std::to_wstring(area.right - area.left) + L" " +
                                   std::to_wstring(area.bottom - area.top);
    program_ = std::make_unique<RunningProgram>(program, arguments);
    if (!program_->started()) return;
    const DWORD id = program_->id();
    PumpUntil([this, id] { return (window_ = FindTopLevelWindowOf(id, L"OrvaneTargetHelper", true)) != nullptr; },
              15000);
}

POINT TargetHelper::BodyPoint() const { return {area_.left + 10, (area_.top + area_.bottom) / 2}; }

POINT TargetHelper::ChildPoint() const { return {area_.right - 10, (area_.top + area_.bottom) / 2}; }

std::filesystem::path TargetHelper::BuiltProgram() { return ProgramFolder() / "target-helper.exe"; }

std::string TargetHelper::BuiltProgramSha256() {
    std::string text = ReadFileBytes(ProgramFolder() / "target-helper.exe.sha256");
    return text.substr(0, 64);
}
