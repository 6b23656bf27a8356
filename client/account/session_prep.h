// The preparation that follows a successful login or registration.
#pragma once

// Runs on the login (or registration) worker: starts the blacklist check of the current target, aligns
// the unified time, reports the outcome in the status lines (posting MSG_TIME_ALIGNED after a
// successful alignment), refreshes the balance and the payment offer, and always ends by posting
// MSG_PREPARATION_DONE.
void PrepareSession();
