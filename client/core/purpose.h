// The usage purposes a signed-in user chooses before any position or task action.
#pragma once

#include <cstdint>
#include <string>

// "软件测试", "展厅演示", "教学实验", "内部培训", in index order.
extern const wchar_t* const kPurposeLabels[4];

// An index outside 0–3 counts as the nearest end.
int32_t ClampPurpose(int32_t index);
const wchar_t* PurposeLabel(int32_t index);

// What a task request carries as its purpose, and what the confirmation names.
struct PurposeChoice {
    std::string key;     // "software_testing", "showroom_demo", "teaching_experiment", "internal_training"
    std::wstring label;  // "软件测试", …
};

// The choice of a saved index; any value other than 1–3 is software testing, so that what is sent and
// what the user confirmed are always the same purpose.
PurposeChoice PurposeOf(int32_t savedIndex);

// The saved purpose. Takes the state lock itself: never call it while holding the lock.
PurposeChoice CurrentPurpose();
