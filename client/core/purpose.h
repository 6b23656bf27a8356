// The usage purposes a signed-in user chooses before any position or task action.
#pragma once

#include <cstdint>

// "软件测试", "展厅演示", "教学实验", "内部培训", in index order.
extern const wchar_t* const kPurposeLabels[4];

// An index outside 0–3 counts as the nearest end.
int32_t ClampPurpose(int32_t index);
const wchar_t* PurposeLabel(int32_t index);
