// SNTP reply format and the real UDP responder, including its clock shift and test faults.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/timex.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <regex>

#include <gtest/gtest.h>

#include "clock.h"
#include "sntp.h"
#include "test_support.h"

namespace orvane {
namespace {

std::array<uint8_t, 48> ClientRequest(int64_t t1_us, int version = 4) {
  std::array<uint8_t, 48> r{};
  r[0] = static_cast<uint8_t>((version << 3) | 3);
  r[2] = 6;
  WriteNtpTimestamp(&r[40], t1_us);
  return r;
}

TEST(NtpTimestamp, EpochAndFractions) {
  uint8_t b[8];
  WriteNtpTimestamp(b, 0);
  EXPECT_EQ(b[0], 0x83);  // 2208988800 = 0x83AA7E80
  EXPECT_EQ(b[1], 0xAA);
  EXPECT_EQ(b[2], 0x7E);
  EXPECT_EQ(b[3], 0x80);
  WriteNtpTimestamp(b, 500000);
  EXPECT_EQ(b[4], 0x80);
  EXPECT_EQ(b[5], 0x00);
  // A time written and read back is the same microsecond.
  for (int64_t us : {int64_t{0}, int64_t{1}, int64_t{2}, int64_t{999999}, int64_t{1700000000123456},
                     int64_t{1700000000000001}, int64_t{-1}}) {
    WriteNtpTimestamp(b, us);
    EXPECT_EQ(ReadNtpTimestamp(b), us) << us;
  }
}

TEST(SntpReply, ServerModeEchoAndTimestamps) {
  auto req = ClientRequest(1700000000000000, 3);
  SntpReplyInput in;
  in.receive_us = 1700000000250000;
  in.transmit_us = 1700000000250100;
  in.stratum = 2;
  in.claim = {true, 1.0};
  auto r = BuildSntpReply(req.data(), req.size(), in);
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)[0] >> 6, 0);         // leap indicator
  EXPECT_EQ(((*r)[0] >> 3) & 7, 3);   // version echoed
  EXPECT_EQ((*r)[0] & 7, 4);          // server
  EXPECT_EQ((*r)[1], 2);
  EXPECT_EQ(std::memcmp(&(*r)[24], &req[40], 8), 0);
  EXPECT_EQ(ReadNtpTimestamp(&(*r)[32]), in.receive_us);
  EXPECT_EQ(ReadNtpTimestamp(&(*r)[40]), in.transmit_us);

  EXPECT_FALSE(BuildSntpReply(req.data(), 47, in));  // short
  auto server_pkt = req;
  server_pkt[0] = 0x24;  // mode 4 is not a request
  EXPECT_FALSE(BuildSntpReply(server_pkt.data(), 48, in));
}

TEST(SntpReply, InjectedFaults) {
  auto req = ClientRequest(1700000000000000);
  SntpReplyInput in;
  in.receive_us = 1700000000250000;
  in.transmit_us = 1700000000250100;
  in.claim = {true, 1.0};
  in.fault.leap = 3;
  in.fault.stratum = 0;
  in.fault.mode = 3;
  in.fault.bad_originate = true;
  in.fault.reversed = true;
  auto r = BuildSntpReply(req.data(), req.size(), in);
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)[0] >> 6, 3);
  EXPECT_EQ((*r)[0] & 7, 3);
  EXPECT_EQ((*r)[1], 0);
  EXPECT_NE(std::memcmp(&(*r)[24], &req[40], 8), 0);
  EXPECT_LT(ReadNtpTimestamp(&(*r)[40]), ReadNtpTimestamp(&(*r)[32]));
  in.fault = SntpFault{};
  in.fault.zero_timestamps = true;
  r = BuildSntpReply(req.data(), req.size(), in);
  for (int i = 32; i < 48; ++i) EXPECT_EQ((*r)[i], 0) << i;
}

// What the service may claim about its clock, from what the kernel says or the operator knows.
TEST(SntpReply, ClaimFollowsTheKernel) {
  auto reading = [](bool unsync, int64_t maxerror_us, bool readable = true) {
    KernelClockReading k;
    k.readable = readable;
    k.status = unsync ? STA_UNSYNC : 0;
    k.state = unsync ? TIME_ERROR : TIME_OK;
    k.maxerror_us = maxerror_us;
    k.esterror_us = maxerror_us / 4;
    return k;
  };
  struct Case {
    const char *name;
    KernelClockReading kernel;
    double configured_ms;
    bool synchronised;
    double uncertainty_ms;
  } cases[] = {
      {"unsynchronised at the kernel's 16 s", reading(true, 16000000), -1, false, 16000},
      {"unsynchronised lately: still a full second", reading(true, 40000), -1, false, 1000},
      {"unsynchronised, maximum error past 16 s", reading(true, 99000000), -1, false, 16000},
      {"no reading at all", reading(false, 0, false), -1, false, 1000},
      {"disciplined: its maximum error", reading(false, 3500), -1, true, 3.5},
      {"disciplined with no error left: 1 us", reading(false, 0), -1, true, 0.001},
      {"TIME_ERROR without the flag is not trusted", [&] { auto k = reading(false, 3500); k.state = TIME_ERROR; return k; }(),
       -1, false, 1000},
      {"the operator's figure wins", reading(true, 16000000), 2.5, true, 2.5},
  };
  for (const Case &c : cases) {
    ClockClaim claim = AssessClock(c.kernel, c.configured_ms);
    EXPECT_EQ(claim.synchronised, c.synchronised) << c.name;
    EXPECT_DOUBLE_EQ(claim.uncertainty_ms, c.uncertainty_ms) << c.name;
  }
}

uint32_t DispersionOf(const std::array<uint8_t, 48> &r) {
  return (uint32_t{r[8]} << 24) | (uint32_t{r[9]} << 16) | (uint32_t{r[10]} << 8) | r[11];
}

TEST(SntpReply, UnsynchronisedClockIsAnnounced) {
  auto req = ClientRequest(1700000000000000);
  SntpReplyInput in;
  in.receive_us = 1700000000250000;
  in.transmit_us = 1700000000250100;
  in.claim = {false, 16000};
  auto r = BuildSntpReply(req.data(), req.size(), in);
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)[0] >> 6, 3);
  EXPECT_EQ((*r)[1], 16);
  EXPECT_EQ(DispersionOf(*r), 16u * 65536);
  EXPECT_EQ(std::memcmp(&(*r)[12], "INIT", 4), 0);

  in.claim = {true, 3.5};
  r = BuildSntpReply(req.data(), req.size(), in);
  EXPECT_EQ((*r)[0] >> 6, 0);
  EXPECT_EQ((*r)[1], 2);
  // Rounded up: the field never claims less than the uncertainty.
  EXPECT_GE(DispersionOf(*r) / 65536.0, 0.0035);
  EXPECT_LT(DispersionOf(*r) / 65536.0, 0.0035 + 1.0 / 65536);
  EXPECT_EQ(RootDispersionField(0), 0u);
  EXPECT_EQ(RootDispersionField(1e12), 0xFFFFFFFFu);
}

struct Sample {
  bool ok = false;
  int64_t offset_us = 0;
  int64_t delay_us = 0;
  std::array<uint8_t, 48> reply{};
};

Sample Query(int port, int timeout_ms = 500, const std::string &address = "127.0.0.1") {
  Sample s;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  timeval tv{0, timeout_ms * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  int64_t t1 = ServiceClock::SystemNowUs();
  auto req = ClientRequest(t1);
  sendto(fd, req.data(), req.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  ssize_t n = recv(fd, s.reply.data(), s.reply.size(), 0);
  int64_t t4 = ServiceClock::SystemNowUs();
  close(fd);
  if (n != 48) return s;
  int64_t t2 = ReadNtpTimestamp(&s.reply[32]), t3 = ReadNtpTimestamp(&s.reply[40]);
  s.ok = true;
  s.offset_us = ((t2 - t1) + (t3 - t4)) / 2;
  s.delay_us = (t4 - t1) - (t3 - t2);
  return s;
}

TEST(SntpResponder, AnswersFromTheShiftedSntpClock) {
  test::TestService ts([](ServeOptions &o) {
    o.ntp_host = "127.0.0.1";
    o.ntp_port = 0;
  });
  int port = ts.svc().NtpPort();
  ASSERT_GT(port, 0);
  // A host whose clock NTP keeps, whatever this machine's own clock is.
  ASSERT_TRUE(ts.Post("/__test/clock", R"({"kernel":{"maxerror_us":1000}})").ok());
  Sample s = Query(port);
  ASSERT_TRUE(s.ok);
  EXPECT_LT(std::llabs(s.offset_us), 20000);
  EXPECT_EQ(s.reply[1], 2);
  EXPECT_EQ(s.reply[0] & 7, 4);

  auto r = ts.Post("/__test/clock", R"({"sntp_offset_us":5000000})");
  ASSERT_TRUE(r.ok()) << r.body;
  s = Query(port);
  ASSERT_TRUE(s.ok);
  EXPECT_NEAR(static_cast<double>(s.offset_us), 5e6, 20000);
  // The service clock itself did not move.
  auto t = ts.Call("time", "{}");
  EXPECT_LT(std::llabs(t.j["server_unix_ms"].get<int64_t>() - test::NowMs()), 2000);

  ASSERT_TRUE(ts.Post("/__test/fault", R"({"action":"sntp","drop":true,"times":1})").ok());
  EXPECT_FALSE(Query(port, 300).ok);  // dropped once
  EXPECT_TRUE(Query(port).ok);        // then answered again
  ASSERT_TRUE(ts.Post("/__test/fault", R"({"action":"sntp","leap":3,"stratum":16})").ok());
  s = Query(port);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.reply[0] >> 6, 3);
  EXPECT_EQ(s.reply[1], 16);
  ts.ClearFaults();
  s = Query(port);
  EXPECT_EQ(s.reply[0] >> 6, 0);
  EXPECT_FALSE(ts.Post("/__test/fault", R"({"action":"sntp","leap":4})").ok());
}

TEST(SntpResponder, RefusesAnAddressInUse) {
  test::TestService a([](ServeOptions &o) {
    o.ntp_host = "127.0.0.1";
    o.ntp_port = 0;
  });
  int taken = a.svc().NtpPort();
  test::TempDir dir;
  ServeOptions o;
  o.data_dir = dir.path() + "/d";
  o.listen_host = "127.0.0.1";
  o.listen_port = 0;
  o.ntp_host = "127.0.0.1";
  o.ntp_port = taken;
  o.quiet = true;
  Service b(o);
  EXPECT_THROW(b.Start(), std::runtime_error);
}


// Runs a command and returns what it printed (stdout and stderr).
std::string Output(const std::string &command) {
  std::string out;
  FILE *p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

bool Installed(const char *program) {
  return Output(std::string("command -v ") + program).find(program) != std::string::npos;
}

// Two NTP clients we did not write ask the responder, while the kernel is made to read one way and
// the other, and the HTTPS "time" action says the same in the same moment.
TEST(SntpResponder, RealClientsHearWhatTheKernelSays) {
  ASSERT_TRUE(Installed("chronyd") && Installed("sntp")) << "chrony and sntp are needed (make setup)";
  // sntp asks port 123 only: a loopback address of this process's own, where root may bind it.
  const std::string address = "127.61." + std::to_string(getpid() % 250) + "." + std::to_string(1 + getpid() / 250 % 250);
  bool on_123 = true;
  std::unique_ptr<test::TestService> ts;
  try {
    ts = std::make_unique<test::TestService>([&](ServeOptions &o) {
      o.ntp_host = address;
      o.ntp_port = 123;
    });
  } catch (const std::exception &) {
    on_123 = false;  // not root: chronyd alone, on any port
    ts = std::make_unique<test::TestService>([&](ServeOptions &o) {
      o.ntp_host = address;
      o.ntp_port = 0;
    });
  }
  const int port = ts->svc().NtpPort();
  auto chrony = [&] {
    return Output("timeout 20 chronyd -Q -t 5 -f /dev/null 'cmdport 0' 'server " + address + " port " +
                  std::to_string(port) + " iburst maxsamples 1'");
  };
  auto sntp = [&] { return Output("timeout 20 sntp -j -t 2 " + address); };
  const std::regex wrong_by("System clock wrong by (-?[0-9.]+) seconds");

  struct Case {
    const char *name;
    const char *kernel;
    bool accepted;
    double uncertainty_ms;
  } cases[] = {
      {"unsynchronised, maximum error 16 s", R"({"unsynchronised":true,"maxerror_us":16000000})", false, 16000},
      {"disciplined, maximum error 2.5 ms", R"({"unsynchronised":false,"maxerror_us":2500})", true, 2.5},
  };
  for (const Case &c : cases) {
    auto fed = ts->Post("/__test/clock", std::string(R"({"kernel":)") + c.kernel + "}");
    ASSERT_TRUE(fed.ok()) << fed.body;
    EXPECT_EQ(fed.j["synchronised"].get<bool>(), c.accepted) << c.name;
    auto t = ts->Call("time", "{}");
    ASSERT_TRUE(t.ok()) << c.name;
    EXPECT_DOUBLE_EQ(t.j["source_uncertainty_ms"].get<double>(), c.uncertainty_ms) << c.name;
    Sample s = Query(port, 500, address);  // the reply itself, as on the wire
    ASSERT_TRUE(s.ok) << c.name;
    EXPECT_EQ(s.reply[0] >> 6, c.accepted ? 0 : 3) << c.name;
    EXPECT_NEAR(DispersionOf(s.reply) / 65.536, c.uncertainty_ms, 0.02) << c.name;

    std::string said = chrony();
    std::smatch m;
    if (c.accepted) {
      ASSERT_TRUE(std::regex_search(said, m, wrong_by)) << c.name << ": " << said;
      EXPECT_LT(std::fabs(std::stod(m[1].str())), 0.05) << c.name;
    } else {
      EXPECT_FALSE(std::regex_search(said, m, wrong_by)) << c.name << ": chronyd took it: " << said;
    }
    if (on_123) {
      said = sntp();
      EXPECT_EQ(said.find("\"no-leap\"") != std::string::npos, c.accepted) << c.name << ": " << said;
    }
  }
  // Back to the kernel's own reading: whatever this machine's clock is, both ways say the same.
  ASSERT_TRUE(ts->Post("/__test/clock", R"({"kernel":null})").ok());
  ClockClaim own = AssessClock(ReadKernelClock(), -1);
  auto t = ts->Call("time", "{}");
  EXPECT_NEAR(t.j["source_uncertainty_ms"].get<double>(), own.uncertainty_ms, own.synchronised ? 50 : 1);
  Sample s = Query(port, 500, address);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.reply[0] >> 6, own.synchronised ? 0 : 3);
  EXPECT_FALSE(ts->Post("/__test/clock", R"({"kernel":{"maxerror_us":-1}})").ok());
  EXPECT_FALSE(ts->Post("/__test/clock", R"({"kernel":{"unsynchronised":"yes"}})").ok());
}

}  // namespace
}  // namespace orvane
