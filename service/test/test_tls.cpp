// Development CA and server certificate: chain, name, validity window, reuse and repair.
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bn.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "test_support.h"
#include "tls.h"

#include <httplib.h>

namespace orvane {
namespace {

std::string ReadAll(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

X509 *LoadX509(const std::string &path) {
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return nullptr;
  X509 *c = PEM_read_X509(f, nullptr, nullptr, nullptr);
  fclose(f);
  return c;
}

// Verifies `leaf` against `ca` at time `when` for the host name localhost; returns the OpenSSL error.
int VerifyAt(X509 *leaf, X509 *ca, time_t when) {
  X509_STORE *store = X509_STORE_new();
  X509_STORE_add_cert(store, ca);
  X509_STORE_CTX *ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, store, leaf, nullptr);
  X509_VERIFY_PARAM *param = X509_STORE_CTX_get0_param(ctx);
  X509_VERIFY_PARAM_set_time(param, when);
  X509_VERIFY_PARAM_set1_host(param, "localhost", 0);
  X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
  int rc = X509_verify_cert(ctx);
  int err = rc == 1 ? X509_V_OK : X509_STORE_CTX_get_error(ctx);
  X509_STORE_CTX_free(ctx);
  X509_STORE_free(store);
  return err;
}

TEST(DevTls, ChainNameAndValidityWindow) {
  test::TempDir dir;
  TlsFiles f = EnsureDevTls(dir.path());
  X509 *ca = LoadX509(f.ca_cert);
  X509 *leaf = LoadX509(f.server_cert);
  ASSERT_TRUE(ca && leaf);
  EXPECT_EQ(X509_check_ca(ca), 1);
  EXPECT_EQ(X509_check_ca(leaf), 0);
  const time_t now = time(nullptr);
  const time_t year = 365 * 24 * 3600;
  const time_t day = 24 * 3600;
  EXPECT_EQ(VerifyAt(leaf, ca, now), X509_V_OK);
  EXPECT_EQ(VerifyAt(leaf, ca, now - day / 2), X509_V_OK);   // a client clock a little behind
  EXPECT_EQ(VerifyAt(leaf, ca, now + year - day), X509_V_OK);
  // The server certificate lives a year; the CA that clients import, ten.
  EXPECT_EQ(VerifyAt(leaf, ca, now + year + day), X509_V_ERR_CERT_HAS_EXPIRED);
  EXPECT_EQ(VerifyAt(leaf, ca, now - 2 * day), X509_V_ERR_CERT_NOT_YET_VALID);
  time_t nine_years = now + 9 * year;
  EXPECT_GT(X509_cmp_time(X509_get0_notAfter(ca), &nine_years), 0);
  EXPECT_EQ(X509_check_host(leaf, "localhost", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_host(leaf, "example.com", 0, 0, nullptr), 0);
  EXPECT_EQ(X509_check_ip_asc(leaf, "127.0.0.1", 0), 1);
  // The CA is not valid for a server name and does not verify itself as "localhost".
  EXPECT_NE(VerifyAt(ca, ca, now), X509_V_OK);
  X509_free(ca);
  X509_free(leaf);
  struct stat st{};
  stat(f.ca_key.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  stat(f.server_key.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(DevTls, ReusedAcrossStartsAndRepaired) {
  test::TempDir dir;
  TlsFiles f = EnsureDevTls(dir.path());
  std::string ca_pem = ReadAll(f.ca_cert), leaf_pem = ReadAll(f.server_cert);
  EnsureDevTls(dir.path());
  EXPECT_EQ(ReadAll(f.ca_cert), ca_pem);
  EXPECT_EQ(ReadAll(f.server_cert), leaf_pem);

  unlink(f.server_cert.c_str());  // a lost server certificate is made again under the same CA
  EnsureDevTls(dir.path());
  EXPECT_EQ(ReadAll(f.ca_cert), ca_pem);
  std::string new_leaf = ReadAll(f.server_cert);
  EXPECT_NE(new_leaf, leaf_pem);
  X509 *ca = LoadX509(f.ca_cert), *leaf = LoadX509(f.server_cert);
  EXPECT_EQ(VerifyAt(leaf, ca, time(nullptr)), X509_V_OK);
  X509_free(ca);
  X509_free(leaf);

  std::ofstream(f.server_key) << "garbage";  // an unreadable key is replaced too
  EnsureDevTls(dir.path());
  EXPECT_NE(ReadAll(f.server_cert), new_leaf);
  EXPECT_EQ(ReadAll(f.ca_cert), ca_pem);
}

// The serial number of the certificate a TLS server at 127.0.0.1:`port` presents, not validated
// (a certificate renewed for a shifted clock is not valid yet).
std::string PresentedSerial(int port) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  std::string serial;
  SSL *ssl = SSL_new(ctx);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    if (SSL_connect(ssl) == 1) {
      X509 *peer = SSL_get1_peer_certificate(ssl);
      BIGNUM *bn = ASN1_INTEGER_to_BN(X509_get_serialNumber(peer), nullptr);
      char *hex = BN_bn2hex(bn);
      serial = hex;
      OPENSSL_free(hex);
      BN_free(bn);
      X509_free(peer);
      SSL_shutdown(ssl);
    }
  }
  SSL_free(ssl);
  close(fd);
  SSL_CTX_free(ctx);
  return serial;
}

std::string FileSerial(const std::string &path) {
  X509 *c = LoadX509(path);
  if (!c) return {};
  BIGNUM *bn = ASN1_INTEGER_to_BN(X509_get_serialNumber(c), nullptr);
  char *hex = BN_bn2hex(bn);
  std::string serial = hex;
  OPENSSL_free(hex);
  BN_free(bn);
  X509_free(c);
  return serial;
}

TEST(DevTls, RenewedWhenItNearsItsEnd) {
  test::TempDir dir;
  TlsFiles f = EnsureDevTls(dir.path());
  EXPECT_TRUE(f.server_renewed);
  std::string ca_pem = ReadAll(f.ca_cert), leaf_pem = ReadAll(f.server_cert);
  const time_t day = 24 * 3600, now = time(nullptr);
  // Far enough from its end (a year's certificate): kept, at a start today and with 31 days left.
  EXPECT_FALSE(EnsureDevTls(dir.path(), now).server_renewed);
  EXPECT_FALSE(EnsureDevTls(dir.path(), now + (365 - 31) * day).server_renewed);
  EXPECT_EQ(ReadAll(f.server_cert), leaf_pem);
  // 29 days before its end: a new one under the same CA, valid for another year from then.
  time_t late = now + (365 - 29) * day;
  EXPECT_TRUE(EnsureDevTls(dir.path(), late).server_renewed);
  EXPECT_NE(ReadAll(f.server_cert), leaf_pem);
  EXPECT_EQ(ReadAll(f.ca_cert), ca_pem);
  X509 *ca = LoadX509(f.ca_cert), *leaf = LoadX509(f.server_cert);
  EXPECT_EQ(VerifyAt(leaf, ca, late + 300 * day), X509_V_OK);
  X509_free(ca);
  X509_free(leaf);
}

TEST(DevTls, RunningServiceServesTheRenewedCertificate) {
  test::TestService ts;
  std::string first = PresentedSerial(ts.port());
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first, FileSerial(ts.data_dir() + "/tls/server.pem"));
  const time_t day = 24 * 3600;
  EXPECT_FALSE(ts.svc().RenewTlsIfDue(time(nullptr) + 30 * day));
  EXPECT_EQ(PresentedSerial(ts.port()), first);
  EXPECT_TRUE(ts.svc().RenewTlsIfDue(time(nullptr) + 340 * day));
  std::string renewed = PresentedSerial(ts.port());
  EXPECT_NE(renewed, first);
  EXPECT_EQ(renewed, FileSerial(ts.data_dir() + "/tls/server.pem"));
}

// Which TLS 1.2 suites the service accepts: forward-secret AEAD ones only; no TLS 1.1.
TEST(DevTls, OffersOnlyForwardSecretAeadSuites) {
  test::TestService ts;
  for (size_t i = 0; i < test::kTls12SuiteCount; ++i) {
    const auto &s = test::kTls12Suites[i];
    std::string got = test::NegotiatedSuite(ts.port(), std::string("-tls1_2 -cipher '") + s.name + ":@SECLEVEL=0'");
    EXPECT_EQ(got, s.accepted ? s.name : "") << s.name;
  }
  EXPECT_EQ(test::NegotiatedSuite(ts.port(), "-tls1_1 -cipher 'ALL:@SECLEVEL=0'"), "");
  EXPECT_EQ(test::NegotiatedSuite(ts.port(), "-tls1_3"), "TLS_AES_256_GCM_SHA384");
}

TEST(DevTls, RefusesAHalfPresentCa) {
  test::TempDir dir;
  TlsFiles f = EnsureDevTls(dir.path());
  unlink(f.ca_key.c_str());
  // Silently replacing the CA would break every client that trusts the old one.
  EXPECT_THROW(EnsureDevTls(dir.path()), std::runtime_error);
}

TEST(DevTls, ServesAGivenCertificateAndRefusesAMismatchedKey) {
  test::TempDir certs;
  TlsFiles f = EnsureDevTls(certs.path());
  test::TestService given([&](ServeOptions &o) {
    o.tls_cert = f.server_cert;
    o.tls_key = f.server_key;
  });
  // The client validates against the CA of the other directory: the given files are in use.
  httplib::SSLClient c("localhost", given.port());
  c.set_ca_cert_path(f.ca_cert.c_str());
  c.enable_server_certificate_verification(true);
  auto r = c.Post("/api.php?action=time", "{}", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);

  test::TempDir dir;
  ServeOptions o;
  o.data_dir = dir.path() + "/d";
  o.listen_host = "127.0.0.1";
  o.listen_port = 0;
  o.tls_cert = f.ca_cert;  // certificate and key that do not belong together
  o.tls_key = f.server_key;
  Service s(o);
  try {
    s.Start();
    ADD_FAILURE() << "started with a key that does not match the certificate";
  } catch (const std::runtime_error &e) {
    EXPECT_NE(std::string(e.what()).find("mismatch"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace orvane
