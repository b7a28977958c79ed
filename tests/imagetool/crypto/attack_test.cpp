// Hostile tokens, password programs, destinations and file systems against the tool. Each case is a
// crafted input and what the tool must do with it, judged by every byte of the bundle it was given.
// Token fields are written at offsets taken from the format (header: IV size 12, mode 16, cipher 20,
// record count 72, entries from 76; passphrase record: iterations +8, wrapping algorithm +88).

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "encrypted_support.h"
#include "imagetool/crypto/header.h"
#include "imagetool/crypto/keys.h"
#include "support.h"

namespace quorbel::imagetool::test {
namespace {

using Args = std::vector<std::string>;
using crypto::SecretBytes;

SecretBytes secret(const std::string& text) { return SecretBytes(text.data(), text.size()); }

std::string put32(std::string bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (24 - 8 * i));
  return bytes;
}

// The token with its one passphrase record (at 0x60, 0x268 bytes) listed `count` times.
std::string manyRecords(const std::string& token, std::uint32_t count) {
  std::string t = token;
  t.replace(0x2000, 0x268, token.substr(0x60, 0x268));
  t = put32(t, 72, count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = 76 + 20 * std::size_t{i};
    t = put32(put32(put32(put32(put32(t, at, 1), at + 4, 0), at + 8, 0x2000), at + 12, 0), at + 16, 0x268);
  }
  return t;
}

// A version 1 token: the 0x4FC-byte "cdsaencr" trailer alone.
std::string v1Token() {
  std::string t(0x4FC, '\0');
  t[16 + 2] = 0x02;  // block size 512
  return t.replace(t.size() - 8, 8, "cdsaencr");
}

// Bytes of the macOS-made header, changed one field at a time: what the decoder and the unlock make of it.
TEST(TokenDecoder, MacHeaderFieldByFieldAcceptedOrRefusedWithTheReason) {
  const std::string bundle = fixture("Test1Enc.sparsebundle");
  if (bundle.empty()) GTEST_SKIP() << "the macOS fixtures (../shared/fixtures/macos) are absent";
  const std::string mac = readFile(bundle + "/token");
  const crypto::TokenInfo info = crypto::parseToken(mac);
  EXPECT_EQ(info.cipher, "AES-128");
  EXPECT_EQ(info.uuid, "C55617C6-16DB-45E1-88C8-76E6863131E1");
  const struct {
    const char* name;
    std::string token;
    const char* refusal;  // "" where the records are tried
  } cases[] = {
      {"as made", mac, ""},
      {"CBC mode 4", put32(mac, 16, 4), ""},
      {"CBC mode 6", put32(mac, 16, 6), ""},
      {"ECB mode", put32(mac, 16, 2), "only AES in CBC mode"},
      {"counter mode", put32(mac, 16, 13), "only AES in CBC mode"},
      {"another cipher", put32(mac, 20, 0x80000002u), "only AES in CBC mode"},
      {"8-byte IV", put32(mac, 12, 8), "IV size"},
      {"2^31-1 iterations", put32(mac, 0x60 + 8, 0x7FFFFFFF), "iterations"},
      {"10^7+1 iterations", put32(mac, 0x60 + 8, 10'000'001), "iterations"},
      {"no iterations", put32(mac, 0x60 + 8, 0), "iterations"},
      {"RC4 wrapping", put32(mac, 0x60 + 88, 18), "key wrapping"},
      {"64 records at one", manyRecords(mac, 64), "more than 4"},
      {"version 1 trailer", v1Token(), "version 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      const auto header = crypto::EncryptedHeader::decode(c.token);
      const auto keys = crypto::unlock(header, secret("foo"));
      EXPECT_EQ(std::string(c.refusal), "");
      EXPECT_TRUE(keys.has_value());
    } catch (const ToolError& e) {
      EXPECT_TRUE(*c.refusal != '\0' && contains(e.what(), c.refusal)) << e.what();
    }
  }
  // Four records are tried; the report still names a header it cannot use.
  EXPECT_TRUE(crypto::unlock(crypto::EncryptedHeader::decode(manyRecords(mac, 4)), secret("foo")).has_value());
  EXPECT_EQ(crypto::parseToken(put32(mac, 16, 2)).cipher, "unsupported (algorithm 2147483649, mode 2, 128-bit keys)");
}

// RFC 6070's vectors, and a key longer than a SHA-1 block checked against OpenSSL's own PBKDF2.
TEST(TokenDecoder, Pbkdf2MatchesPublishedVectors) {
  const auto hex = [](const SecretBytes& b) {
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i)
      s += "0123456789abcdef"[b.data()[i] >> 4], s += "0123456789abcdef"[b.data()[i] & 15];
    return s;
  };
  const auto bytes = [](const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
  const struct {
    std::string password, salt;
    std::uint32_t iterations;
    std::size_t length;
    const char* key;
  } vectors[] = {
      {"password", "salt", 1, 20, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {"password", "salt", 2, 20, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {"password", "salt", 4096, 20, "4b007901b765489abead49d926f721d065a429c1"},
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 25,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, 16, "56fa6aa75548099dcc37d7f03425e0c3"},
  };
  for (const auto& v : vectors)
    EXPECT_EQ(hex(crypto::pbkdf2HmacSha1(secret(v.password), bytes(v.salt), v.iterations, v.length)), v.key);
  const std::string longPassword(100, 'k');
  SecretBytes expected(24);
  PKCS5_PBKDF2_HMAC_SHA1(longPassword.data(), 100, reinterpret_cast<const unsigned char*>("salt"), 4, 3, 24,
                         expected.data());
  EXPECT_TRUE(crypto::pbkdf2HmacSha1(secret(longPassword), bytes("salt"), 3, 24) == expected);
}

// An encrypted bundle (password "pw") made once, copied for each case.
class Attack : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    vaultDir_ = new Scratch;
    const RunResult r = createEncrypted(*vaultDir_ / "v.sparsebundle", "8m", "HFS+", "AES-128", "pw");
    ASSERT_EQ(r.status, 0) << r.err;
  }
  static void TearDownTestSuite() { delete vaultDir_; }
  std::string vault(const std::function<std::string(std::string)>& token = {}) {
    const std::string copy = dir_ / "v.sparsebundle";
    std::filesystem::remove_all(copy);
    copyTree(*vaultDir_ / "v.sparsebundle", copy);
    if (token) writeFile(copy + "/token", token(readFile(copy + "/token")));
    return copy;
  }
  // Runs the tool with QUORBEL_ASKPASS set to a script running `body`, which first notes the tool's
  // pid. A stop (SIGTERM) goes to the tool `stopMs` after the script started, when not negative; the
  // tool is killed after 20 s. Also returns the seconds from the stop (or the start) to its end.
  std::pair<RunResult, double> withAskpass(const Args& args, const std::string& input, const std::string& body,
                                           int stopMs = -1) {
    const std::string script = dir_ / "askpass.sh", pidFile = dir_ / "tool.pid";
    writeFile(script, "#!/bin/sh\necho $PPID > " + pidFile + ".new; mv " + pidFile + ".new " + pidFile + "\n" + body);
    ::chmod(script.c_str(), 0755);
    ::unlink(pidFile.c_str());
    auto from = std::chrono::steady_clock::now();
    std::atomic<bool> ended = false;
    std::thread stopper([&] {
      while (!ended && !exists(pidFile) && std::chrono::steady_clock::now() - from < std::chrono::seconds(20))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const int pid = exists(pidFile) ? std::stoi(readFile(pidFile)) : -1;
      if (stopMs >= 0 && pid > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(stopMs));
        from = std::chrono::steady_clock::now();
        ::kill(pid, SIGTERM);
      }
      for (int i = 0; i < 2000 && !ended && pid > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (!ended && pid > 0) ::kill(pid, SIGKILL);
    });
    RunResult r = runToolWithInput(args, input, {"QUORBEL_ASKPASS=" + script});
    ended = true;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - from;
    stopper.join();
    return {r, took.count()};
  }
  Scratch dir_;
  static Scratch* vaultDir_;
};
Scratch* Attack::vaultDir_ = nullptr;

// Tokens no writer may act on: refused with the reason, before any password is asked for, every
// byte of the bundle kept.
TEST_F(Attack, HostileTokensAreRefusedBeforeAnyWork) {
  const struct {
    const char* name;
    std::function<std::string(std::string)> token;
    const char* reason;
  } tokens[] = {
      {"2^31-1 iterations", [](std::string t) { return put32(t, 0x60 + 8, 0x7FFFFFFF); }, "iterations"},
      {"64 records at one", [](std::string t) { return manyRecords(t, 64); }, "more than 4"},
      {"ECB mode", [](std::string t) { return put32(t, 16, 2); }, "only AES in CBC mode"},
      {"another cipher", [](std::string t) { return put32(t, 20, 7); }, "only AES in CBC mode"},
      {"version 1", [](std::string) { return v1Token(); }, "version 1 encrypted-image header"},
  };
  for (const auto& t : tokens) {
    for (const Args& verb :
         {Args{"chpass", "-newstdinpass"}, Args{"compact", "-batteryallowed"}, Args{"resize", "-size", "16m"}}) {
      SCOPED_TRACE(std::string(t.name) + " " + verb[0]);
      const std::string bundle = vault(t.token);
      const auto before = snapshot(bundle);
      Args args = verb;
      args.push_back(bundle);
      // The password program would say so if it were asked.
      const auto [r, seconds] = withAskpass(args, "new", "echo asked >&2; printf pw");
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(contains(r.err, t.reason)) << r.err;
      EXPECT_FALSE(contains(r.err, "asked") || contains(r.err, "missing or truncated")) << r.err;
      EXPECT_EQ(snapshot(bundle), before);
    }
  }
}

// Password programs that hold the tool: one leaving a child on its output, one ignoring stops, and a
// key derivation of the most iterations allowed. Each ends as it must within seconds.
TEST_F(Attack, PasswordProgramsAndLongDerivationsCannotHoldTheTool) {
  const std::string askpassPid = dir_ / "askpass.pid";
  const struct {
    const char* name;
    std::uint32_t iterations;  // 0: as made
    std::string askpass;
    int stopMs;
    int status;
  } cases[] = {
      {"child keeps the output open", 0, "echo $$ > " + askpassPid + "; printf pw; sleep 600 &", -1, 0},
      {"ignores stops", 0, "echo $$ > " + askpassPid + "; trap '' TERM; sleep 600 & wait; sleep 600", 300, 1},
      {"longest derivation", 10'000'000, "printf pw", 300, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(askpassPid.c_str());
    const std::string bundle =
        vault(c.iterations == 0 ? std::function<std::string(std::string)>{}
                                : [&](std::string t) { return put32(t, 0x60 + 8, c.iterations); });
    const auto before = snapshot(bundle);
    const auto [r, seconds] = withAskpass({"chpass", bundle, "-newstdinpass"}, "new", c.askpass, c.stopMs);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_LT(seconds, 3.0);
    if (c.status != 0) {
      EXPECT_EQ(snapshot(bundle), before);
    }
    // A stop ends the password program's whole group (zombies waiting for their reaper aside).
    if (exists(askpassPid)) {
      const std::string group = readFile(askpassPid).substr(0, readFile(askpassPid).find('\n'));
      const std::string live = "ps -eo pgid=,stat= | awk '$1 == " + group + " && $2 !~ /Z/' | wc -l";
      for (int i = 0; i < 100 && c.stopMs >= 0 && shell(live).out != "0\n"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (c.stopMs >= 0) {
        EXPECT_EQ(shell(live).out, "0\n");
      }
      ::kill(-std::stoi(group), SIGKILL);
    }
  }
}

// A change that reached the disk is reported as done, even when its report cannot be written.
TEST_F(Attack, PasswordChangeWithAnUnwritableReportSucceeds) {
  const std::string bundle = vault();
  const RunResult r = shell("printf 'pw\\0new' | " + quote(QUORBEL_IMAGETOOL) + " chpass " + quote(bundle) +
                            " -oldstdinpass -newstdinpass >/dev/full; echo status=$?");
  EXPECT_TRUE(contains(r.out, "status=0")) << r.out;
  const auto header = crypto::EncryptedHeader::decode(readFile(bundle + "/token"));
  EXPECT_TRUE(crypto::unlock(header, secret("new")).has_value());
}

// Destinations inside a bundle are refused and nothing is made; one that fills up is named.
TEST_F(Attack, DestinationsInsideABundleOrFullAreRefusedByName) {
  const std::string source = dir_ / "s.sparsebundle";
  makeBundle(source, MiB, 4 * MiB, {{0, randomBytes(MiB, 1)}, {2, randomBytes(MiB, 2)}});
  const auto before = snapshot(dir_.path());
  const auto convert = [&](const std::string& to) {
    return Args{"convert", source, "-format", "UDSB", "-o", to, "-imagekey", "sparse-band-size=2048"};
  };
  for (const Args& args : {convert(source + "/bands/inner"), convert(source + "/inner.sparsebundle"),
                           convert(source + "/bands/../x.sparsebundle"),
                           Args{"create", "-size", "8m", "-type", "SPARSEBUNDLE", "-fs", "HFS+", "-volname", "v",
                                source + "/n.sparsebundle"}}) {
    const RunResult r = runTool(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "lies inside the sparse bundle")) << r.err;
    EXPECT_EQ(snapshot(dir_.path()), before);
  }
  const std::string small = dir_ / "small";
  ::mkdir(small.c_str(), 0755);
  if (shell("mount -t tmpfs -o size=1m tmpfs " + quote(small)).status != 0) GTEST_SKIP() << "cannot mount a tmpfs";
  const RunResult r = runTool(convert(small + "/d.sparsebundle"));
  shell("umount " + quote(small));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "cannot write new band " + small)) << r.err;
}

// Where locks are unsupported (flock fails with ENOLCK) writers refuse unless told to go on.
TEST_F(Attack, WritersRefuseWithoutLocksUnlessToldToGoOn) {
  const std::string preload = "LD_PRELOAD=" + std::string(QUORBEL_FLOCK_SHIM);
  const std::string bundle = vault();
  const auto before = snapshot(bundle);
  for (const Args& args : {Args{"chpass", bundle, "-oldstdinpass", "-newstdinpass"},
                           Args{"compact", bundle, "-batteryallowed", "-stdinpass"},
                           Args{"resize", bundle, "-size", "16m", "-stdinpass"}}) {
    const RunResult r = runToolWithInput(args, std::string("pw\0new", 6), {preload});
    if (contains(r.err, "ASan runtime")) GTEST_SKIP() << "a sanitized tool cannot be preloaded";
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_TRUE(contains(r.err, "cannot lock the bundle on this file system")) << r.err;
    EXPECT_EQ(snapshot(bundle), before);
  }
  const RunResult r = runToolWithInput({"chpass", bundle, "-nolock", "-oldstdinpass", "-newstdinpass"},
                                       std::string("pw\0new", 6), {preload});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "going on without one")) << r.err;
  // Options in any order.
  const RunResult created = runTool(
      {"create", dir_ / "o.sparsebundle", "-volname", "O", "-fs", "HFS+", "-size", "8m", "-type", "SPARSEBUNDLE"});
  EXPECT_EQ(created.status, 0) << created.err;
}

}  // namespace
}  // namespace quorbel::imagetool::test
