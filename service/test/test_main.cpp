#include <signal.h>

#include <gtest/gtest.h>

#include "crypto.h"
#include "log.h"

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  orvane::InitCrypto();
  orvane::SetLogQuiet(true);
  return RUN_ALL_TESTS();
}
