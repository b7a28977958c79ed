// Encrypted bundles through the tool's verbs, judged by the independent reader and the file systems'
// own checkers: creation of every file system with both key sizes, password changes in every form,
// compaction of free blocks holding old data, and kills in the middle of each change.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "encrypted_support.h"
#include "imagetool/bundle/band_store.h"
#include "imagetool/crypto/encrypted_io.h"
#include "imagetool/crypto/header.h"
#include "imagetool/crypto/keys.h"
#include "support.h"

namespace quorbel::imagetool::test {
namespace {

// The decrypted image's volume, in a file of its own, and the checker's verdict on it.
struct Judged {
  bool ok = false;
  std::string report;
};

Judged judge(const std::string& fileSystem, const std::string& image, const Scratch& dir) {
  std::string volume = image;
  std::uint64_t start = 0;
  if (fileSystem != "UDF") {
    const GptCheck map = gptCheck(image);
    if (!map.ok) return {false, "partition map: " + map.report};
    start = map.start;
    volume = dir / "part";
    extract(image, map.start * 512, map.sectors * 512, volume);
  }
  if (fileSystem == "HFS+" || fileSystem == "HFS+J") {
    const HfsStat stat = hfsStat(image, start);
    // hfsStat also holds the header's free count against the allocation file: noise would not agree.
    const RunResult list = shell("7zz l " + quote(volume));
    return {stat.ok && contains(stat.report, "Volume Name: Vault") && list.status == 0, stat.report + list.out};
  }
  const std::string check = fileSystem == "exFAT"    ? "fsck.exfat -n"
                            : fileSystem == "MS-DOS" ? "fsck.fat -n"
                            : fileSystem == "UDF"    ? "udfinfo"
                                                     : "apfsck";
  const RunResult r = shell(check + " " + quote(volume));
  return {r.status == 0, r.out};
}

TEST(EncryptedCreate, EveryFileSystemWithBothKeySizesDecryptsToASoundVolume) {
  const struct {
    const char* fs;
    const char* size;
  } cases[] = {{"HFS+", "400m"},
               {"HFS+J", "40m"},
               {"exFAT", "40m"},
               {"MS-DOS", "40m"},
               {"UDF", "40m"},
               {"APFS", "140m"},
               {"Case-sensitive APFS", "140m"}};
  for (const auto& c : cases) {
    for (const std::string cipher : {"AES-128", "AES-256"}) {
      SCOPED_TRACE(std::string(c.fs) + " " + cipher);
      Scratch dir;
      const std::string bundle = dir / "V.sparsebundle";
      const RunResult r = createEncrypted(bundle, c.size, c.fs, cipher, "correct horse");
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, "created: " + bundle + "\n");
      EXPECT_EQ(runTool({"isencrypted", bundle}).out.substr(0, 15), "encrypted: YES\n");
      const RunResult info = runTool({"imageinfo", bundle});
      EXPECT_TRUE(contains(info.out, "Encryption: " + cipher + "\n")) << info.out;
      const std::string token = readFile(bundle + "/token");
      EXPECT_EQ(token.size(), crypto::newTokenBytes);
      EXPECT_FALSE(contains(token, "correct horse"));

      std::string why;
      ASSERT_TRUE(decryptBundle(bundle, "correct horse", dir / "image", false, &why)) << why;
      const Judged verdict = judge(c.fs, dir / "image", dir);
      EXPECT_TRUE(verdict.ok) << verdict.report;
      EXPECT_FALSE(decryptBundle(bundle, "correct horsE", dir / "wrong"));
    }
  }
  // An empty password is a password (the window allows it); a key size that does not
  // exist is refused and leaves nothing behind.
  Scratch dir;
  ASSERT_EQ(createEncrypted(dir / "A.sparsebundle", "10m", "exFAT", "AES-128", "").status, 0);
  EXPECT_TRUE(decryptBundle(dir / "A.sparsebundle", "", dir / "a.img"));
  EXPECT_FALSE(decryptBundle(dir / "A.sparsebundle", " ", dir / "b.img"));
  EXPECT_EQ(createEncrypted(dir / "B.sparsebundle", "10m", "exFAT", "AES-192", "pw").status, 1);
  EXPECT_FALSE(exists(dir / "B.sparsebundle"));
}

// A small encrypted HFS+ bundle and its decrypted image, made once for the password tests.
struct Vault {
  Scratch dir;
  std::string bundle = dir / "V.sparsebundle";
  std::string plain;
  Vault(const std::string& password, const std::string& size = "16m", const std::string& fs = "HFS+J") {
    const RunResult r = createEncrypted(bundle, size, fs, "AES-128", password);
    if (r.status != 0) throw std::runtime_error(r.err);
    if (!decryptBundle(bundle, password, dir / "plain.img")) throw std::runtime_error("reader failed");
    plain = readFile(dir / "plain.img");
  }
  // Whether `password` opens the bundle and every decrypted byte is as it was.
  bool opensUnchangedWith(const std::string& password) const {
    Scratch s;
    return decryptBundle(bundle, password, s / "img") && readFile(s / "img") == plain;
  }
};

std::string askpassScript(const Scratch& dir, const std::string& name, const std::string& body) {
  const std::string path = dir / name;
  writeFile(path, "#!/bin/sh\necho \"$#:$1\" >> " + quote(dir / "asked") + "\n" + body + "\n");
  shell("chmod +x " + quote(path));
  return path;
}

TEST(EncryptedChangePassword, EveryFormKeepsEveryByteAndRefusalsChangeNothing) {
  Vault vault("first");
  const std::string answerWrong = askpassScript(vault.dir, "wrong.sh", "printf 'nope\\n'");
  const std::string cancel = askpassScript(vault.dir, "cancel.sh", "exit 1");
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::string input;
    std::string askpass;  // "" for none; the tool then has no terminal either
    const char* current;  // the password the bundle has before
    const char* after;    // and after; equal to `current` for a refusal
    const char* message;  // on standard error for a refusal
  } cases[] = {
      {"both on stdin",
       {"-oldstdinpass", "-newstdinpass"},
       std::string("first\0second", 12),
       "",
       "first",
       "second",
       ""},
      {"wrong current on stdin",
       {"-oldstdinpass", "-newstdinpass"},
       std::string("first\0third", 11),
       "",
       "second",
       "second",
       "wrong password"},
      {"only one on stdin", {"-oldstdinpass", "-newstdinpass"}, "second", "", "second", "second", "NUL byte"},
      {"no way to ask", {"-newstdinpass"}, "third", "", "second", "second", "QUORBEL_ASKPASS"},
      {"askpass cancelled", {"-newstdinpass"}, "third", cancel, "second", "second", "cancelled"},
      {"askpass wrong", {"-newstdinpass"}, "third", answerWrong, "second", "second", "wrong password"},
  };
  // The window's form last: the current password through the askpass program.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto before = snapshot(vault.bundle);
    std::vector<std::string> args{"chpass", vault.bundle};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::vector<std::string> env{"QUORBEL_ASKPASS=" + c.askpass};
    const RunResult r = runToolWithInput(args, c.input, env);
    if (std::string(c.current) == c.after) {
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(contains(r.err, c.message)) << r.err;
      EXPECT_EQ(snapshot(vault.bundle), before);
    } else {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, "password changed: " + vault.bundle + "\n");
      EXPECT_FALSE(vault.opensUnchangedWith(c.current));
    }
    EXPECT_TRUE(vault.opensUnchangedWith(c.after));
  }
  // The current password from the askpass program, which gets the prompt as its one argument.
  writeFile(vault.dir / "asked", "");
  const std::string answerSecond = askpassScript(vault.dir, "second.sh", "printf 'second\\n'");
  const RunResult r =
      runToolWithInput({"chpass", vault.bundle, "-newstdinpass"}, "fourth", {"QUORBEL_ASKPASS=" + answerSecond});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(vault.dir / "asked"), "1:Current password of V.sparsebundle:\n");
  EXPECT_TRUE(vault.opensUnchangedWith("fourth"));
  EXPECT_FALSE(vault.opensUnchangedWith("second"));
  // No password ever lands in the bundle.
  for (const auto& [name, description] : snapshot(vault.bundle)) {
    (void)description;
    const std::string path = vault.bundle + "/" + name;
    if (shell("test -f " + quote(path)).status != 0) continue;
    for (const char* secret : {"first", "second", "fourth"}) EXPECT_FALSE(contains(readFile(path), secret)) << name;
  }
}

// The byte ranges of a decrypted HFS+ image that The Sleuth Kit says are allocated, as 4 KiB blocks.
std::vector<std::uint64_t> allocatedBlocks(const std::string& image, std::uint64_t size) {
  const Ranges free = unallocated(image, "hfs", 40, 4096);
  std::vector<bool> isFree(size / 4096, false);
  for (const auto& [offset, length] : free)
    for (std::uint64_t b = offset / 4096; b < (offset + length) / 4096 && b < isFree.size(); ++b) isFree[b] = true;
  std::vector<std::uint64_t> blocks;
  for (std::uint64_t b = 0; b < isFree.size(); ++b)
    if (!isFree[b]) blocks.push_back(b);
  return blocks;
}

bool sameBlocks(const std::string& a, const std::string& b, const std::vector<std::uint64_t>& blocks) {
  for (std::uint64_t block : blocks)
    if (a.compare(block * 4096, 4096, b, block * 4096, 4096) != 0) return false;
  return true;
}

TEST(EncryptedCompact, FreeBlocksHoldingOldDataAreReclaimedAndTheVolumeKept) {
  Vault vault("pw", "48m", "HFS+");
  const std::uint64_t size = declaredSize(vault.bundle);
  const std::vector<std::uint64_t> used = allocatedBlocks(vault.dir / "plain.img", size);
  // Old data in the free blocks, written through the encryption layer as the volume would have.
  {
    const crypto::EncryptedHeader header = crypto::EncryptedHeader::decode(readFile(vault.bundle + "/token"));
    const auto keys = crypto::unlock(header, crypto::SecretBytes("pw", 2));
    ASSERT_TRUE(keys.has_value());
    BandStore bands(vault.bundle + "/bands", 1 << 20, size, true);
    crypto::EncryptedImageIO image(bands, 1 << 20, crypto::ChunkCipher(keys->keys, 512));
    for (const auto& [offset, length] : unallocated(vault.dir / "plain.img", "hfs", 40, 4096)) {
      const std::string junk = randomBytes(static_cast<std::size_t>(length), static_cast<std::uint32_t>(offset));
      image.write(offset, junk.data(), junk.size());
    }
    bands.sync();
  }
  const std::uint64_t full = allocatedBytes(vault.bundle);
  ASSERT_GT(full, 40 * MiB);

  const RunResult r = runToolWithInput({"compact", "-batteryallowed", "-stdinpass", vault.bundle}, "pw");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "Reclaimed ")) << r.out;
  EXPECT_LT(allocatedBytes(vault.bundle), full - 36 * MiB);
  ASSERT_TRUE(decryptBundle(vault.bundle, "pw", vault.dir / "after.img"));
  const std::string after = readFile(vault.dir / "after.img");
  EXPECT_TRUE(sameBlocks(vault.plain, after, used));
  EXPECT_TRUE(hfsStat(vault.dir / "after.img", 40).ok);
  EXPECT_TRUE(gptCheck(vault.dir / "after.img").ok);

  // A wrong password, or a cancelled prompt: nothing is touched.
  const auto before = snapshot(vault.bundle);
  const RunResult wrong = runToolWithInput({"compact", "-batteryallowed", "-stdinpass", vault.bundle}, "pW");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_TRUE(contains(wrong.err, "wrong password")) << wrong.err;
  const RunResult cancelled =
      runToolWithInput({"compact", "-batteryallowed", vault.bundle}, "", {"QUORBEL_ASKPASS=/bin/false"});
  EXPECT_EQ(cancelled.status, 1);
  EXPECT_TRUE(contains(cancelled.err, "cancelled")) << cancelled.err;
  EXPECT_EQ(snapshot(vault.bundle), before);
  // Converting stays refused for encrypted bundles.
  EXPECT_EQ(runTool({"convert", vault.bundle, "-format", "UDSB", "-o", vault.dir / "C.sparsebundle", "-imagekey",
                     "sparse-band-size=4096"})
                .status,
            1);
}

TEST(EncryptedKill, AKilledPasswordChangeOrCompactionLeavesAnOpenableVolume) {
  Vault vault("old", "24m", "HFS+");
  const std::vector<std::uint64_t> used = allocatedBlocks(vault.dir / "plain.img", declaredSize(vault.bundle));
  std::string password = "old";
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    const std::string next = "new" + std::to_string(round);
    int status = 0;
    stopAfter(startToolWithInput({"chpass", vault.bundle, "-oldstdinpass", "-newstdinpass"},
                                 password + std::string(1, '\0') + next),
              std::chrono::microseconds(40000 * round), SIGKILL, &status);
    EXPECT_TRUE(round > 0 || WIFSIGNALED(status)) << "the kill at once did not land";
    // Either password opens the volume, every byte as it was.
    if (vault.opensUnchangedWith(next)) {
      password = next;
    } else {
      EXPECT_TRUE(vault.opensUnchangedWith(password));
    }
    stopAfter(startToolWithInput({"compact", "-batteryallowed", "-stdinpass", vault.bundle}, password),
              std::chrono::microseconds(30000 * round), SIGKILL);
    Scratch s;
    ASSERT_TRUE(decryptBundle(vault.bundle, password, s / "img"));
    EXPECT_TRUE(sameBlocks(vault.plain, readFile(s / "img"), used));
  }
  // The tool still works on it afterwards.
  EXPECT_EQ(runToolWithInput({"compact", "-batteryallowed", "-stdinpass", vault.bundle}, password).status, 0);
}

TEST(EncryptedResize, GrowAndShrinkGiveTheVolumeAPlainResizeGives) {
  Vault vault("pw", "40m", "HFS+J");
  Scratch plainDir;
  const std::string plain = plainDir / "P.sparsebundle";
  ASSERT_EQ(create(plain, "40m", "HFS+J").status, 0);
  for (const char* size : {"100m", "30m", "64m"}) {
    SCOPED_TRACE(size);
    RunResult r = runToolWithInput({"resize", "-size", size, "-stdinpass", vault.bundle}, "pw");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(runTool({"resize", "-size", size, plain}).status, 0);
    EXPECT_EQ(declaredSize(vault.bundle), declaredSize(plain));
    ASSERT_TRUE(decryptBundle(vault.bundle, "pw", vault.dir / "img"));
    flattenTo(plain, plainDir / "img");
    const GptCheck map = gptCheck(vault.dir / "img");
    EXPECT_TRUE(map.ok) << map.report;
    EXPECT_EQ(map.sectors, gptCheck(plainDir / "img").sectors);
    const HfsStat stat = hfsStat(vault.dir / "img", 40);  // free counts checked against the allocation file
    EXPECT_TRUE(stat.ok && stat.freeBlocks > 0) << stat.report;
    EXPECT_EQ(stat.freeBlocks, hfsStat(plainDir / "img", 40).freeBlocks);
    EXPECT_EQ(hfsFiles(vault.dir / "img", 40).size(), 2u);  // the journal's two files
  }
  // A shrink below what the volume holds, a wrong password, a cancelled prompt: nothing changes.
  const auto before = snapshot(vault.bundle);
  const struct {
    std::vector<std::string> args;
    std::string input, askpass, message;
  } refusals[] = {{{"-size", "1m", "-stdinpass"}, "pw", "", "not changed"},
                  {{"-stdinpass", "-size", "50m"}, "pv", "", "wrong password"},
                  {{"-size", "50m"}, "", "QUORBEL_ASKPASS=/bin/false", "cancelled"}};
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.message);
    std::vector<std::string> args{"resize"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(vault.bundle);
    const RunResult r = runToolWithInput(args, c.input, {c.askpass.empty() ? "QUORBEL_ASKPASS=" : c.askpass});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    EXPECT_EQ(snapshot(vault.bundle), before);
  }
}

TEST(EncryptedKill, AKilledResizeLeavesTheOldVolumeOrTheNew) {
  Vault vault("pw", "32m", "HFS+J");
  const char* sizes[] = {"96m", "24m"};
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const std::string size = sizes[round % 2];
    int status = 0;
    stopAfter(startToolWithInput({"resize", "-stdinpass", "-size", size, vault.bundle}, "pw"),
              std::chrono::microseconds(30000 * round), SIGKILL, &status);
    EXPECT_TRUE(round > 0 || WIFSIGNALED(status)) << "the kill at once did not land";
    Scratch s;
    ASSERT_TRUE(decryptBundle(vault.bundle, "pw", s / "img"));
    const GptCheck map = gptCheck(s / "img");
    EXPECT_TRUE(map.ok) << map.report;
    EXPECT_TRUE(hfsStat(s / "img", 40).ok);
    EXPECT_TRUE(declaredSize(vault.bundle) == 32 * MiB || declaredSize(vault.bundle) == 96 * MiB ||
                declaredSize(vault.bundle) == 24 * MiB);
    // The same resize run again finishes the work.
    const RunResult r = runToolWithInput({"resize", "-stdinpass", "-size", size, vault.bundle}, "pw");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(decryptBundle(vault.bundle, "pw", s / "img"));
    EXPECT_TRUE(gptCheck(s / "img").ok);
    EXPECT_TRUE(hfsStat(s / "img", 40).ok);
  }
}

TEST(EncryptedMacFixture, TakesANewPasswordAndCompactionAndStillOpens) {
  const std::string original = fixture("Test1Enc.sparsebundle");
  if (original.empty()) GTEST_SKIP() << "the macOS fixtures (../shared/fixtures/macos) are absent";
  Scratch dir;
  const std::string bundle = dir / "Test1Enc.sparsebundle";
  copyTree(original, bundle);
  ASSERT_TRUE(decryptBundle(bundle, "foo", dir / "before.img"));
  const auto files = hfsFiles(dir / "before.img", 0);
  ASSERT_GT(files.size(), 40u);

  RunResult r = runToolWithInput({"chpass", bundle, "-oldstdinpass", "-newstdinpass"}, std::string("foo\0bar", 7));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string token = readFile(bundle + "/token"), old = readFile(original + "/token");
  ASSERT_EQ(token.size(), old.size());
  EXPECT_EQ(token.substr(0, 0x60), old.substr(0, 0x60));  // the header itself is kept
  r = runToolWithInput({"compact", "-batteryallowed", "-stdinpass", bundle}, "bar");
  ASSERT_EQ(r.status, 0) << r.err;

  EXPECT_FALSE(decryptBundle(bundle, "foo", dir / "old.img"));
  // A token made here has the Mac's layout: the same header fields and the same fixed fields of the
  // passphrase record; only the uuid, the iteration count, the salt, the IV and the wrapped keys differ.
  {
    const std::string made = dir / "Made.sparsebundle";
    ASSERT_EQ(createEncrypted(made, "10m", "HFS+J", "AES-128", "x").status, 0);
    const std::string ours = readFile(made + "/token");
    ASSERT_EQ(ours.size(), old.size());
    EXPECT_EQ(ours.substr(0, 0x24), old.substr(0, 0x24));
    EXPECT_EQ(ours.substr(0x34, 0x2c), old.substr(0x34, 0x2c));
    EXPECT_EQ(ours.substr(0x60, 4), old.substr(0x60, 4));        // key derivation
    EXPECT_EQ(ours.substr(0x6c, 4), old.substr(0x6c, 4));        // salt length
    EXPECT_EQ(ours.substr(0x90, 4), old.substr(0x90, 4));        // IV length
    EXPECT_EQ(ours.substr(0xb4, 0x14), old.substr(0xb4, 0x14));  // 3DES, PKCS#7, CBC, blob length
    EXPECT_EQ(ours.substr(0x60 + 0x268), std::string(old.size() - 0x60 - 0x268, '\0'));
  }
  ASSERT_TRUE(decryptBundle(bundle, "bar", dir / "after.img"));
  EXPECT_EQ(hfsFiles(dir / "after.img", 0), files);
  EXPECT_TRUE(hfsStat(dir / "after.img", 0).ok);
}

}  // namespace
}  // namespace quorbel::imagetool::test
