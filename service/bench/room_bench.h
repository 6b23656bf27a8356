// One room of many participants against real service instances: see room_bench.cpp.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace orvane::bench {

struct RoomOptions {
  int participants = 0;
  int instances = 1;                 // more than one: PostgreSQL, behind nginx
  std::string database = "sqlite";   // or "postgresql"
  int join_seconds = 60;             // joins spread over this many seconds
  int64_t release_lead_ms = 20000;   // the service's release lead
  int connections = 1000;            // requests in flight at most (the bench's own threads)
  std::vector<std::string> serve_args;  // further options for each instance
};

// Prints the room's figures; returns 0 when every participant held a verified instruction before
// the instant and reported, without a single error.
int RunRoom(const RoomOptions &options, const std::string &service_binary);

}  // namespace orvane::bench
