// Hostile tokens, password programs, destinations and file systems against the tool. Each case is a
// crafted input and what the tool must do with it, judged by every byte of the bundle it was given.
// Token fields are written at offsets taken from the format (header: IV size 12, mode 16, cipher 20,
// record count 72, entries from 76; passphrase record: iterations +8, wrapping algorithm +88).

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "encrypted_invariants.h"
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
  static std::string token() { return readFile(*vaultDir_ / "v.sparsebundle/token"); }
  std::string vault(const std::string& token = "") {
    const std::string copy = dir_ / "v.sparsebundle";
    std::filesystem::remove_all(copy);
    copyTree(*vaultDir_ / "v.sparsebundle", copy);
    if (!token.empty()) writeFile(copy + "/token", token);
    return copy;
  }
  // Runs the tool (killed after 20 s) with `input` on standard input and QUORBEL_ASKPASS a script
  // running `body` (its standard error closed, so that nothing it leaves running holds the output);
  // the body may note the time of a stop in the file "stopped". Returns the result and
  // the seconds from the stop (or the start) to the end; `out` holds both output streams.
  std::pair<RunResult, double> viaAskpass(const Args& args, const std::string& input, const std::string& body) {
    writeFile(dir_ / "askpass.sh", "#!/bin/sh\ncd " + quote(dir_.path()) + "\nexec 2>/dev/null\n" + body);
    ::chmod((dir_ / "askpass.sh").c_str(), 0755);
    ::unlink((dir_ / "stopped").c_str());
    std::string command = "printf %s " + quote(input) + " | QUORBEL_ASKPASS=" + quote(dir_ / "askpass.sh") +
                          " timeout -s KILL 20 " + quote(QUORBEL_IMAGETOOL);
    for (const std::string& arg : args) command += " " + quote(arg);
    const auto epoch = [] {
      return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch());
    };
    const double start = epoch().count();
    const RunResult r = shell(command);
    const double from = exists(dir_ / "stopped") ? std::stod(readFile(dir_ / "stopped")) : start;
    return {r, epoch().count() - from};
  }
  Scratch dir_;
  static Scratch* vaultDir_;
};
Scratch* Attack::vaultDir_ = nullptr;

// Tokens no writer may act on: refused with the reason before the password is asked for, every byte
// of the bundle kept.
TEST_F(Attack, HostileTokensAreRefusedBeforeAnyWork) {
  const std::pair<std::string, const char*> tokens[] = {
      {put32(token(), 0x60 + 8, 0x7FFFFFFF), "iterations"}, {manyRecords(token(), 64), "more than 4"},
      {put32(token(), 16, 2), "only AES in CBC mode"},      {put32(token(), 20, 7), "only AES in CBC mode"},
      {v1Token(), "version 1 encrypted-image header"},
  };
  for (const auto& [token, reason] : tokens) {
    for (const Args& verb :
         {Args{"chpass", "-newstdinpass"}, Args{"compact", "-batteryallowed"}, Args{"resize", "-size", "16m"}}) {
      SCOPED_TRACE(reason + (" " + verb[0]));
      Args args = verb;
      args.push_back(vault(token));
      const auto before = snapshot(args.back());
      const RunResult r = viaAskpass(args, "new", "touch asked; printf pw").first;
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(contains(r.out, reason) && !exists(dir_ / "asked") && !contains(r.out, "truncated")) << r.out;
      EXPECT_EQ(snapshot(args.back()), before);
    }
  }
}

// Password programs that would hold the tool (a child left on their output, stops ignored) and the
// longest key derivation allowed, stopped: each ends within seconds, a stop with the program's whole
// group (zombies waiting for their reaper aside).
TEST_F(Attack, PasswordProgramsAndLongDerivationsCannotHoldTheTool) {
  const std::string stop = "(sleep 0.3; date +%s.%N > stopped; kill -TERM $PPID) & ";
  const struct {
    std::string token, askpass;
    int status;
  } cases[] = {
      {"", "echo $$ > group; printf pw; sleep 600 &", 0},
      {"", "echo $$ > group; " + stop + "trap '' TERM; sleep 600 & wait; sleep 600", 1},
      {put32(token(), 0x60 + 8, 10'000'000), stop + "printf pw", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.askpass);
    ::unlink((dir_ / "group").c_str());
    const std::string bundle = vault(c.token);
    const auto before = snapshot(bundle);
    const auto [r, seconds] = viaAskpass({"chpass", bundle, "-newstdinpass"}, "new", c.askpass);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(snapshot(bundle) == before, c.status != 0);
    if (!exists(dir_ / "group")) continue;
    const std::string group = std::to_string(std::stoi(readFile(dir_ / "group")));
    const std::string live = "ps -eo pgid=,stat= | awk '$1 == " + group + " && $2 !~ /Z/' | wc -l";
    for (int i = 0; i < 50 && c.status != 0 && shell(live).out != "0\n"; ++i) shell("sleep 0.02");
    EXPECT_TRUE(c.status == 0 || shell(live).out == "0\n");
    ::kill(-std::stoi(group), SIGKILL);
  }
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
                           Args{"create", "-size", "8m", "-type", "SPARSEBUNDLE", "-fs", "HFS+", "-volname", "v",
                                source + "/bands/../n.sparsebundle"}}) {
    const RunResult r = runTool(args);
    EXPECT_TRUE(r.status == 1 && contains(r.err, "lies inside the sparse bundle")) << r.err;
    EXPECT_EQ(snapshot(dir_.path()), before);
  }
  const std::string small = dir_ / "small";
  ::mkdir(small.c_str(), 0755);
  if (shell("mount -t tmpfs -o size=1m tmpfs " + quote(small)).status != 0) GTEST_SKIP() << "cannot mount a tmpfs";
  const RunResult r = runTool(convert(small + "/d.sparsebundle"));
  shell("umount " + quote(small));
  EXPECT_TRUE(r.status == 1 && contains(r.err, "cannot write new band " + small)) << r.err;
}

// Where flock fails with ENOLCK writers refuse unless told to go on; a password change that reached
// the disk succeeds even when its report cannot be written; options come in any order.
TEST_F(Attack, LocklessFileSystemsUnwritableReportsAndOptionOrder) {
  const std::string preload = "LD_PRELOAD=" + std::string(QUORBEL_FLOCK_SHIM), bundle = vault();
  const auto before = snapshot(bundle);
  for (const Args& args : {Args{"chpass", bundle, "-oldstdinpass", "-newstdinpass"},
                           Args{"compact", bundle, "-batteryallowed", "-stdinpass"},
                           Args{"resize", bundle, "-size", "16m", "-stdinpass"}}) {
    const RunResult r = runToolWithInput(args, std::string("pw\0new", 6), {preload});
    if (contains(r.err, "ASan runtime")) GTEST_SKIP() << "a sanitized tool cannot be preloaded";
    EXPECT_TRUE(r.status == 1 && contains(r.err, "cannot lock the bundle on this file system")) << r.err;
    EXPECT_EQ(snapshot(bundle), before);
  }
  RunResult r = runToolWithInput({"chpass", bundle, "-nolock", "-oldstdinpass", "-newstdinpass"},
                                 std::string("pw\0new", 6), {preload});
  EXPECT_TRUE(r.status == 0 && contains(r.err, "going on without one")) << r.err;
  r = shell("printf 'new\\0last' | " + quote(QUORBEL_IMAGETOOL) + " chpass " + quote(bundle) +
            " -oldstdinpass -newstdinpass >/dev/full; echo status=$?");
  EXPECT_TRUE(contains(r.out, "status=0")) << r.out;
  EXPECT_TRUE(crypto::unlock(crypto::EncryptedHeader::decode(readFile(bundle + "/token")), secret("last")).has_value());
  r = runTool(
      {"create", dir_ / "o.sparsebundle", "-volname", "O", "-fs", "HFS+", "-size", "8m", "-type", "SPARSEBUNDLE"});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST(EncryptedFuzzCorpus, EveryInputKeepsTheInvariants) {
  int inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(QUORBEL_ENCRYPTED_CORPUS)) {
    EXPECT_EQ(fuzz::brokenEncryptedInvariant(readFile(entry.path())), "") << entry.path();
    ++inputs;
  }
  EXPECT_GE(inputs, 4);
}

}  // namespace
}  // namespace quorbel::imagetool::test
