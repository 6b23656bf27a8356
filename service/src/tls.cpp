#include "tls.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "log.h"

namespace orvane {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509 *p) const { X509_free(p); }
};
struct BioFree {
  void operator()(BIO *p) const { BIO_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

constexpr long kDay = 24L * 3600;

[[noreturn]] void Throw(const std::string &what) {
  unsigned long e = ERR_get_error();
  char buf[256] = "";
  if (e) ERR_error_string_n(e, buf, sizeof buf);
  throw std::runtime_error(what + (e ? std::string(": ") + buf : std::string()));
}

bool FileExists(const std::string &p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0;
}

void WriteFileAtomic(const std::string &path, const std::string &content, mode_t mode) {
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) throw std::runtime_error("cannot create " + tmp + ": " + std::strerror(errno));
  bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  ok = ok && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  }
}

std::string BioText(BIO *bio) {
  char *data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

std::string KeyPem(EVP_PKEY *key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || !PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr))
    Throw("cannot encode private key");
  return BioText(bio.get());
}

std::string CertPem(X509 *cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || !PEM_write_bio_X509(bio.get(), cert)) Throw("cannot encode certificate");
  return BioText(bio.get());
}

PkeyPtr LoadKey(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "r");
  if (!f) return nullptr;
  PkeyPtr k(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
  std::fclose(f);
  ERR_clear_error();
  return k;
}

X509Ptr LoadCert(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "r");
  if (!f) return nullptr;
  X509Ptr c(PEM_read_X509(f, nullptr, nullptr, nullptr));
  std::fclose(f);
  ERR_clear_error();
  return c;
}

PkeyPtr NewRsaKey() {
  PkeyPtr key(EVP_RSA_gen(2048));
  if (!key) Throw("cannot generate RSA key");
  return key;
}

void AddExt(X509 *cert, X509 *issuer, int nid, const char *value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) Throw(std::string("cannot build certificate extension ") + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

X509Ptr NewCert(EVP_PKEY *subject_key, const char *common_name, X509 *issuer, EVP_PKEY *issuer_key,
                bool is_ca, time_t now) {
  X509Ptr cert(X509_new());
  if (!cert) Throw("out of memory");
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  // The CA that clients import stays for ten years; the server certificate lives a year and is
  // renewed under it. A day's grace before issue covers clients whose clock runs a little behind.
  X509_time_adj_ex(X509_getm_notBefore(cert.get()), -1, 0, &now);
  X509_time_adj_ex(X509_getm_notAfter(cert.get()), is_ca ? 10 * 365 : kDevServerLifetimeDays, 0, &now);
  X509_NAME *name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>("Orvane development"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>(common_name), -1, -1, 0);
  X509 *iss = issuer ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(iss));
  X509_set_pubkey(cert.get(), subject_key);
  if (is_ca) {
    AddExt(cert.get(), iss, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    AddExt(cert.get(), iss, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExt(cert.get(), iss, NID_subject_key_identifier, "hash");
  } else {
    AddExt(cert.get(), iss, NID_basic_constraints, "critical,CA:FALSE");
    AddExt(cert.get(), iss, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    AddExt(cert.get(), iss, NID_ext_key_usage, "serverAuth");
    AddExt(cert.get(), iss, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    AddExt(cert.get(), iss, NID_subject_key_identifier, "hash");
    AddExt(cert.get(), iss, NID_authority_key_identifier, "keyid:always");
  }
  if (!X509_sign(cert.get(), issuer_key, EVP_sha256())) Throw("cannot sign certificate");
  return cert;
}

bool ServerCertUsable(X509 *server, EVP_PKEY *server_key, EVP_PKEY *ca_key, time_t now) {
  if (X509_verify(server, ca_key) != 1) return false;
  if (X509_check_private_key(server, server_key) != 1) return false;
  time_t soon = now + kDevServerRenewDays * kDay;
  if (X509_cmp_time(X509_get0_notAfter(server), &soon) <= 0) return false;
  ERR_clear_error();
  return true;
}

}  // namespace

TlsFiles EnsureDevTls(const std::string &data_dir, time_t now) {
  TlsFiles f;
  std::string dir = data_dir + "/tls";
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw std::runtime_error("cannot create " + dir + ": " + std::strerror(errno));
  f.ca_cert = dir + "/dev-ca.pem";
  f.ca_key = dir + "/dev-ca.key";
  f.server_cert = dir + "/server.pem";
  f.server_key = dir + "/server.key";

  PkeyPtr ca_key = LoadKey(f.ca_key);
  X509Ptr ca_cert = LoadCert(f.ca_cert);
  if (ca_key && ca_cert && X509_check_private_key(ca_cert.get(), ca_key.get()) != 1) {
    ERR_clear_error();
    throw std::runtime_error(f.ca_cert + " does not belong to " + f.ca_key +
                             "; remove both to make a new development CA");
  }
  if (!ca_key || !ca_cert) {
    if (FileExists(f.ca_cert) || FileExists(f.ca_key))
      throw std::runtime_error("the development CA in " + dir +
                               " is incomplete or unreadable; remove dev-ca.pem and dev-ca.key to make a new one");
    ca_key = NewRsaKey();
    ca_cert = NewCert(ca_key.get(), "Orvane Development CA", nullptr, ca_key.get(), true, now);
    WriteFileAtomic(f.ca_key, KeyPem(ca_key.get()), 0600);
    WriteFileAtomic(f.ca_cert, CertPem(ca_cert.get()), 0644);
    LogLine("made development CA " + f.ca_cert);
  }

  PkeyPtr server_key = LoadKey(f.server_key);
  X509Ptr server_cert = LoadCert(f.server_cert);
  if (!server_key || !server_cert ||
      !ServerCertUsable(server_cert.get(), server_key.get(), ca_key.get(), now)) {
    server_key = NewRsaKey();
    server_cert = NewCert(server_key.get(), "localhost", ca_cert.get(), ca_key.get(), false, now);
    WriteFileAtomic(f.server_key, KeyPem(server_key.get()), 0600);
    WriteFileAtomic(f.server_cert, CertPem(server_cert.get()), 0644);
    LogLine("made server certificate for localhost " + f.server_cert);
    f.server_renewed = true;
  }
  return f;
}

}  // namespace orvane
