// Development CA and server certificate: chain, name, validity window, reuse and repair.
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
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
  EXPECT_EQ(VerifyAt(leaf, ca, now), X509_V_OK);
  EXPECT_EQ(VerifyAt(leaf, ca, now - year), X509_V_OK);      // clock shifted a year back
  EXPECT_EQ(VerifyAt(leaf, ca, now + 9 * year), X509_V_OK);  // and nine forward
  EXPECT_EQ(VerifyAt(leaf, ca, now + 11 * year), X509_V_ERR_CERT_HAS_EXPIRED);
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
