// The synchronisation test: the whole chain on this machine alone. The service makes a
// one-participant task for a time of day the user enters, and the click task runs it as in a room.
#pragma once

#include <cstdint>
#include <string>

// "开始同步测试": user-interface-thread action of the test card.
void StartSyncTest();

// {"execute_at_ms":…,<task fields>}
std::string SyncTestBody(int64_t executeAtMs, const std::string& taskFields);
