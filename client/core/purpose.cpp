#include "core/purpose.h"

#include <algorithm>

const wchar_t* const kPurposeLabels[4] = {L"软件测试", L"展厅演示", L"教学实验", L"内部培训"};

int32_t ClampPurpose(int32_t index) { return std::clamp(index, 0, 3); }

const wchar_t* PurposeLabel(int32_t index) { return kPurposeLabels[ClampPurpose(index)]; }
