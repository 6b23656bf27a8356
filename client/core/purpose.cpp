#include "core/purpose.h"

const wchar_t* const kPurposeLabels[4] = {L"软件测试", L"展厅演示", L"教学实验", L"内部培训"};

const wchar_t* PurposeLabel(int32_t index) { return kPurposeLabels[index < 0 ? 0 : index > 3 ? 3 : index]; }
