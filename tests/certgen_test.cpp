// Key, request and certificate making through the real /usr/bin/openssl:
// what the files hold, failures reported as 0, the three refused characters
// in every argument position, and shell metacharacters that must reach
// openssl as plain text instead of running anything.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "test_util.h"
#include "veld-network-ssl.h"

namespace {

std::set<std::string> Listing(const std::string &dir) {
  std::set<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

// Never prompts: an encrypted key simply fails to load.
int NoPassword(char *, int, int, void *) { return 0; }

struct FileCloser {
  void operator()(FILE *f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct KeyFree {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509 *c) const { X509_free(c); }
};
struct ReqFree {
  void operator()(X509_REQ *r) const { X509_REQ_free(r); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;
using Req = std::unique_ptr<X509_REQ, ReqFree>;

Key ReadKey(const std::string &path) {
  File f(std::fopen(path.c_str(), "r"));
  return Key(f ? PEM_read_PrivateKey(f.get(), nullptr, NoPassword, nullptr) : nullptr);
}
Cert ReadCert(const std::string &path) {
  File f(std::fopen(path.c_str(), "r"));
  return Cert(f ? PEM_read_X509(f.get(), nullptr, nullptr, nullptr) : nullptr);
}
Req ReadReq(const std::string &path) {
  File f(std::fopen(path.c_str(), "r"));
  return Req(f ? PEM_read_X509_REQ(f.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string CommonName(X509_NAME *name) {
  char buf[256] = "";
  X509_NAME_get_text_by_NID(name, NID_commonName, buf, sizeof(buf));
  return buf;
}

// Runs the test body inside a directory, so that a command the shell would
// have run with relative paths leaves its traces there.
class InDirectory {
 public:
  explicit InDirectory(const std::string &dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~InDirectory() { std::filesystem::current_path(old_); }

 private:
  std::filesystem::path old_;
};

// --- What the files hold

TEST(CertGen, KeyRequestGivesUnencryptedKeyAndSignedRequestForSubject) {
  veldtest::TempDir dir;
  std::string key = dir / "new.key", req = dir / "new.csr";
  ASSERT_EQ(SSLGenrsaKeyRequest("unused", key.c_str(), req.c_str(), "/O=Veld/CN=host.example"), 1);
  Key k = ReadKey(key);
  ASSERT_TRUE(k) << "key missing or encrypted";
  Req r = ReadReq(req);
  ASSERT_TRUE(r);
  EXPECT_EQ(CommonName(X509_REQ_get_subject_name(r.get())), "host.example");
  EXPECT_EQ(EVP_PKEY_eq(X509_REQ_get0_pubkey(r.get()), k.get()), 1);
  EXPECT_EQ(X509_REQ_verify(r.get(), k.get()), 1);
}

TEST(CertGen, CertificateIsSelfSignedForFreshKeyAndValidForGivenDays) {
  veldtest::TempDir dir;
  std::string key = dir / "srv.key", crt = dir / "srv.crt";
  // The request file is only checked, never read: it need not exist.
  ASSERT_EQ(SSLGenCertificate("pw", "365", (dir / "absent.csr").c_str(), key.c_str(), crt.c_str(),
                              "/CN=veld"),
            1);
  Key k = ReadKey(key);
  ASSERT_TRUE(k);
  Cert c = ReadCert(crt);
  ASSERT_TRUE(c);
  EXPECT_EQ(X509_check_private_key(c.get(), k.get()), 1);
  EXPECT_EQ(X509_verify(c.get(), k.get()), 1);
  EXPECT_EQ(CommonName(X509_get_subject_name(c.get())), "veld");
  int days = -1, secs = -1;
  ASSERT_EQ(ASN1_TIME_diff(&days, &secs, X509_get0_notBefore(c.get()), X509_get0_notAfter(c.get())),
            1);
  EXPECT_EQ(days, 365);
  EXPECT_EQ(secs, 0);
  EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"srv.key", "srv.crt"}));
}

// --- Failures are not reported as success

TEST(CertGen, OpensslFailureGivesZero) {
  veldtest::TempDir dir;
  std::string key = dir / "k", crt = dir / "c", nodir = dir / "no/such/dir/c";
  EXPECT_EQ(SSLGenCertificate("", "not-a-number", "x", key.c_str(), crt.c_str(), "/CN=a"), 0);
  EXPECT_EQ(SSLGenCertificate("", "1", "x", key.c_str(), crt.c_str(), "no slash, no subject"), 0);
  EXPECT_EQ(SSLGenCertificate("", "1", "x", key.c_str(), nodir.c_str(), "/CN=a"), 0);
  EXPECT_EQ(SSLGenrsaKeyRequest("", key.c_str(), nodir.c_str(), "/CN=a"), 0);
}

TEST(CertGen, MissingOpensslGivesZero) {
  veldtest::TempDir dir;
  std::string key = dir / "k", out = dir / "o";
  const char *saved = veld_openssl_program;
  std::string absent = dir / "openssl";
  veld_openssl_program = absent.c_str();
  EXPECT_EQ(SSLGenrsaKeyRequest("", key.c_str(), out.c_str(), "/CN=a"), 0);
  EXPECT_EQ(SSLGenCertificate("", "1", "x", key.c_str(), out.c_str(), "/CN=a"), 0);
  veld_openssl_program = saved;
  EXPECT_TRUE(Listing(dir.path()).empty());
}

TEST(CertGen, OpensslGetsExactlyTheseArgumentsOneValueEach) {
  // A stand-in program records its arguments, one per line, then runs the
  // real openssl with them.
  veldtest::TempDir dir;
  std::string recorder = dir / "openssl", record = dir / "args";
  veldtest::WriteFile(recorder, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record +
                                    "'\nexec /usr/bin/openssl \"$@\"\n");
  ASSERT_EQ(chmod(recorder.c_str(), 0700), 0);
  const char *saved = veld_openssl_program;
  veld_openssl_program = recorder.c_str();
  std::string key = dir / "k.pem", req = dir / "r.pem", crt = dir / "c.pem";

  EXPECT_EQ(SSLGenrsaKeyRequest("p w $x", key.c_str(), req.c_str(), "/CN=a b"), 1);
  EXPECT_EQ(veldtest::ReadFile(record), "req\n-passin\npass:p w $x\n-new\n-nodes\n-out\n" + req +
                                            "\n-keyout\n" + key + "\n-subj\n/CN=a b\n");
  EXPECT_EQ(SSLGenCertificate("pw", "7", "in.csr", key.c_str(), crt.c_str(), "/CN=c"), 1);
  EXPECT_EQ(veldtest::ReadFile(record), "req\n-new\n-nodes\n-x509\n-passin\npass:pw\n-out\n" + crt +
                                            "\n-keyout\n" + key + "\n-days\n7\n-subj\n/CN=c\n");
  veld_openssl_program = saved;
}

// --- Refused arguments run nothing

// Arguments of one call, by position; `Call` runs the operation on them.
struct Operation {
  const char *name;
  std::vector<std::string> (*args)(const veldtest::TempDir &);
  int (*call)(const std::vector<const char *> &);
};

const Operation kOperations[] = {
    {"SSLGenrsaKeyRequest",
     [](const veldtest::TempDir &d) {
       return std::vector<std::string>{"pass", d / "key.pem", d / "req.pem", "/CN=refused"};
     },
     [](const std::vector<const char *> &a) {
       return SSLGenrsaKeyRequest(a[0], a[1], a[2], a[3]);
     }},
    {"SSLGenCertificate",
     [](const veldtest::TempDir &d) {
       return std::vector<std::string>{"pass",        "30",          d / "in.csr",
                                       d / "key.pem", d / "crt.pem", "/CN=refused"};
     },
     [](const std::vector<const char *> &a) {
       return SSLGenCertificate(a[0], a[1], a[2], a[3], a[4], a[5]);
     }},
};

std::vector<const char *> Pointers(const std::vector<std::string> &v) {
  std::vector<const char *> p;
  for (const std::string &s : v) p.push_back(s.c_str());
  return p;
}

TEST(CertGen, UntouchedArgumentsDoMakeFiles) {
  // The control for the refusal tests below: the same calls without a
  // refused character do run openssl and leave files behind.
  for (const Operation &op : kOperations) {
    veldtest::TempDir dir;
    EXPECT_EQ(op.call(Pointers(op.args(dir))), 1) << op.name;
    EXPECT_EQ(Listing(dir.path()).size(), 2u) << op.name;
  }
}

TEST(CertGen, RefusedCharacterInAnyPositionRunsNothing) {
  for (const Operation &op : kOperations) {
    for (char refused : {'`', ';', '|'}) {
      veldtest::TempDir probe;
      size_t n = op.args(probe).size();
      for (size_t pos = 0; pos < n; ++pos) {
        veldtest::TempDir dir;
        std::vector<std::string> args = op.args(dir);
        // Before the last character: paths stay inside dir and the subject
        // stays one openssl would accept, so only the refusal keeps files away.
        args[pos].insert(args[pos].size() - 1, 1, refused);
        EXPECT_EQ(op.call(Pointers(args)), 0)
            << op.name << " arg " << pos << " '" << refused << "'";
        EXPECT_TRUE(Listing(dir.path()).empty())
            << op.name << " arg " << pos << " '" << refused << "'";
      }
    }
  }
}

TEST(CertGen, NullInAnyPositionRunsNothing) {
  for (const Operation &op : kOperations) {
    veldtest::TempDir probe;
    size_t n = op.args(probe).size();
    for (size_t pos = 0; pos < n; ++pos) {
      veldtest::TempDir dir;
      std::vector<std::string> args = op.args(dir);
      std::vector<const char *> p = Pointers(args);
      p[pos] = nullptr;
      EXPECT_EQ(op.call(p), 0) << op.name << " arg " << pos;
      EXPECT_TRUE(Listing(dir.path()).empty()) << op.name << " arg " << pos;
    }
  }
}

// --- Shell metacharacters are plain text

TEST(CertGen, ShellMetacharactersInSubjectAndPasswordRunNothing) {
  veldtest::TempDir dir;
  InDirectory here(dir.path());
  const char subject[] = "/CN=it's $(touch made1) & touch made2 > made3 $HOME";
  ASSERT_EQ(SSLGenCertificate("'$(touch made4)'&>made5", "2", "x", "k.pem", "c.pem", subject), 1);
  Cert c = ReadCert(dir / "c.pem");
  ASSERT_TRUE(c);
  EXPECT_EQ(CommonName(X509_get_subject_name(c.get())),
            "it's $(touch made1) & touch made2 > made3 $HOME");
  EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"k.pem", "c.pem"}));
}

TEST(CertGen, ShellMetacharactersInFileNamesNameTheFiles) {
  veldtest::TempDir dir;
  InDirectory here(dir.path());
  const char key[] = "k'ey $(touch made1).pem", req[] = "r&e>q made2";
  ASSERT_EQ(SSLGenrsaKeyRequest("x", key, req, "/CN=files"), 1);
  EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{key, req}));
  EXPECT_TRUE(ReadKey(dir / key));
  EXPECT_TRUE(ReadReq(dir / req));
}

}  // namespace
