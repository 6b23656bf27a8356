// The usage purposes a signed-in user chooses before any position or task action.
#pragma once

#include <cstdint>

// The four purpose labels in index order.
extern const wchar_t* const kPurposeLabels[4];

// The label of a purpose index; an index below 0 reads as the first, above 3 as the last.
const wchar_t* PurposeLabel(int32_t index);
