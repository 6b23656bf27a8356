// SNTP reply format and the real UDP responder, including its clock shift and test faults.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

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
  for (int64_t us : {int64_t{0}, int64_t{1}, int64_t{999999}, int64_t{1700000000123456}}) {
    WriteNtpTimestamp(b, us);
    EXPECT_LE(std::llabs(ReadNtpTimestamp(b) - us), 1) << us;
  }
}

TEST(SntpReply, ServerModeEchoAndTimestamps) {
  auto req = ClientRequest(1700000000000000, 3);
  SntpReplyInput in;
  in.receive_us = 1700000000250000;
  in.transmit_us = 1700000000250100;
  in.stratum = 2;
  auto r = BuildSntpReply(req.data(), req.size(), in);
  ASSERT_TRUE(r);
  EXPECT_EQ((*r)[0] >> 6, 0);         // leap indicator
  EXPECT_EQ(((*r)[0] >> 3) & 7, 3);   // version echoed
  EXPECT_EQ((*r)[0] & 7, 4);          // server
  EXPECT_EQ((*r)[1], 2);
  EXPECT_EQ(std::memcmp(&(*r)[24], &req[40], 8), 0);
  EXPECT_LE(std::llabs(ReadNtpTimestamp(&(*r)[32]) - in.receive_us), 1);
  EXPECT_LE(std::llabs(ReadNtpTimestamp(&(*r)[40]) - in.transmit_us), 1);

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

struct Sample {
  bool ok = false;
  int64_t offset_us = 0;
  int64_t delay_us = 0;
  std::array<uint8_t, 48> reply{};
};

Sample Query(int port, int timeout_ms = 500) {
  Sample s;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  timeval tv{0, timeout_ms * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
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

}  // namespace
}  // namespace orvane
