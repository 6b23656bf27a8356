#include "core/purpose.h"

#include <algorithm>
#include <mutex>

#include "core/app_state.h"

const wchar_t* const kPurposeLabels[4] = {L"软件测试", L"展厅演示", L"教学实验", L"内部培训"};

int32_t ClampPurpose(int32_t index) { return std::clamp(index, 0, 3); }

const wchar_t* PurposeLabel(int32_t index) { return kPurposeLabels[ClampPurpose(index)]; }

PurposeChoice PurposeOf(int32_t savedIndex) {
    static const char* const kKeys[4] = {"software_testing", "showroom_demo", "teaching_experiment",
                                         "internal_training"};
    const int32_t index = savedIndex >= 1 && savedIndex <= 3 ? savedIndex : 0;
    return {kKeys[index], kPurposeLabels[index]};
}

PurposeChoice CurrentPurpose() {
    AppState& app = App();
    int32_t saved;
    {
        std::lock_guard<std::mutex> lock(app.stateMutex);
        saved = app.session.savedPurpose;
    }
    return PurposeOf(saved);
}
