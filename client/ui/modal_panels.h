// The modal panels over the dashboard of a signed-in user (usage purpose, top-up, personal centre):
// opening and closing them, the purpose gate in front of every position or target action, and the
// panel actions that belong to the user interface itself. User-interface thread only.
#pragma once

#include "core/app_state.h"

// Opens the panel: the purpose panel starts at the saved purpose, the top-up panel at the first
// payment method the service offers (its amount field then gets the focus, whole text selected).
void OpenModalPanel(ModalPanelKind kind);
// Cancels a hotkey capture that is running and closes the open panel.
void CloseModalPanel();
// Esc: closes the open panel, as the close box does (not while a hotkey capture waits for a key).
// False when there was nothing to close.
bool ClosePanelWithEscape();

// A panel button whose outcome goes to the status lines was pressed: whatever they say from now on is
// shown over the panel, also when it repeats what they said before.
void ReportPanelActionOverThePanel();

// The purpose panel: highlights option `index` (0–3); saves the highlighted purpose and closes.
void SelectPendingPurpose(int32_t index);
void SavePurpose();

// The header's "积分获取": opens the top-up panel while a payment method is offered, otherwise says
// that online top-up is not available. Does nothing without a session.
void OpenTopUp();
// The top-up panel's payment options: only a method the service offers is taken.
void SelectPaymentMethod(PaymentMethod method);
