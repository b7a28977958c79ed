// The verbs over plain, AES-128 and AES-256 bundles, judged by independent programs on the image the
// bands hold (joined, or decrypted by the independent reader): create with every file system, compact
// of free blocks holding old data, resize both ways, and the password changes of encrypted bundles.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "encrypted_support.h"
#include "imagetool/bundle/band_store.h"
#include "imagetool/crypto/encrypted_io.h"
#include "imagetool/crypto/header.h"
#include "imagetool/crypto/keys.h"
#include "support.h"

namespace quorbel::imagetool::test {
namespace {

const std::string ciphers[] = {"", "AES-128", "AES-256"};  // "" for a plain bundle
// Long enough that finding it among the token's random bytes by chance is out of the question.
const std::string kPassword = "vault-passphrase-7";

RunResult createWith(const std::string& path, const std::string& size, const std::string& fs,
                     const std::string& cipher) {
  return cipher.empty() ? create(path, size, fs) : createEncrypted(path, size, fs, cipher, kPassword);
}

// The image `bundle` holds, written to `file` by code other than the tool's.
bool imageOf(const std::string& bundle, const std::string& cipher, const std::string& file) {
  if (!cipher.empty()) return decryptBundle(bundle, kPassword, file);
  flattenTo(bundle, file);
  return true;
}

// The volume of the image, in a file of its own, and its checker's verdict on it.
struct Judged {
  bool ok = false;
  std::string report;
};

Judged judge(const std::string& fileSystem, const std::string& image, const Scratch& dir) {
  std::string volume = image;
  std::uint64_t start = 0;
  if (fileSystem != "UDF") {
    const GptCheck map = gptCheck(image);  // sfdisk's view, of either kind of map
    if (!map.ok || (fileSystem != "MS-DOS" && map.start != 40)) return {false, "partition map: " + map.report};
    start = map.start;
    volume = dir / "part";
    extract(image, map.start * 512, map.sectors * 512, volume);
  }
  if (fileSystem == "HFS+" || fileSystem == "HFS+J") {
    const HfsStat stat = hfsStat(image, start);  // also holds the free count against the allocation file
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

TEST(EveryCipher, EachFileSystemIsCreatedSoundAndKeptByCompactAndConvert) {
  const struct {
    const char* fs;
    const char* size;
    const char* scheme;  // imageinfo's partition scheme and file system of a plain bundle
    const char* reported;
  } cases[] = {{"HFS+", "400m", "GUID", "HFS+\n"},
               {"HFS+J", "40m", "GUID", "HFS+J\n"},
               {"exFAT", "40m", "GUID", "exFAT\n"},
               {"MS-DOS", "40m", "MBR", "FAT"},
               {"UDF", "40m", "none", "UDF"},
               {"APFS", "140m", "GUID", "APFS"},
               {"Case-sensitive APFS", "140m", "GUID", "APFS"}};
  for (const auto& c : cases) {
    for (const std::string& cipher : ciphers) {
      SCOPED_TRACE(std::string(c.fs) + " " + cipher);
      Scratch dir;
      const std::string bundle = dir / "Vault.sparsebundle";
      const RunResult r = createWith(bundle, c.size, c.fs, cipher);
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, "created: " + bundle + "\n");
      ASSERT_TRUE(imageOf(bundle, cipher, dir / "image"));
      const Judged verdict = judge(c.fs, dir / "image", dir);
      EXPECT_TRUE(verdict.ok) << verdict.report;
      const RunResult info = runTool({"imageinfo", bundle});
      for (const auto& name : listDir(bundle + "/bands"))  // never a band of zeros
        EXPECT_NE(readFile(bundle + "/bands/" + name).find_first_not_of('\0'), std::string::npos) << name;
      if (cipher.empty()) {
        EXPECT_TRUE(contains(info.out, std::string("Partition Scheme: ") + c.scheme + "\n")) << info.out;
        EXPECT_TRUE(contains(info.out, std::string("File System: ") + c.reported)) << info.out;
        const std::string image = flatten(bundle), copy = dir / "Copy.sparsebundle";
        EXPECT_EQ(runTool({"compact", "-batteryallowed", bundle}).status, 0);
        ASSERT_EQ(
            runTool({"convert", bundle, "-format", "UDSB", "-o", copy, "-imagekey", "sparse-band-size=4096"}).status,
            0);
        EXPECT_EQ(flatten(bundle), image);
        EXPECT_EQ(flatten(copy), image);
        continue;
      }
      EXPECT_TRUE(contains(info.out, "Encryption: " + cipher + "\n")) << info.out;
      EXPECT_EQ(runTool({"isencrypted", bundle}).out.substr(0, 15), "encrypted: YES\n");
      const std::string token = readFile(bundle + "/token");
      EXPECT_EQ(token.size(), 122368u);  // as macOS writes it
      EXPECT_FALSE(contains(token, kPassword));
      EXPECT_FALSE(decryptBundle(bundle, "pW", dir / "wrong"));
    }
  }
  // An empty password is a password (the window allows it); a key size that does not exist, or a size
  // too small for the file system, is refused and leaves nothing behind.
  Scratch dir;
  ASSERT_EQ(createEncrypted(dir / "A.sparsebundle", "10m", "exFAT", "AES-128", "").status, 0);
  EXPECT_TRUE(decryptBundle(dir / "A.sparsebundle", "", dir / "a.img"));
  EXPECT_FALSE(decryptBundle(dir / "A.sparsebundle", " ", dir / "b.img"));
  EXPECT_EQ(createEncrypted(dir / "B.sparsebundle", "10m", "exFAT", "AES-192", kPassword).status, 1);
  const RunResult tiny = create(dir / "Tiny.sparsebundle", "64k", "APFS");
  EXPECT_TRUE(tiny.status == 1 && contains(tiny.err, "too small for APFS")) << tiny.err;
  EXPECT_FALSE(exists(dir / "B.sparsebundle") || exists(dir / "Tiny.sparsebundle"));
}

// Old data in the free blocks, written as the volume would have: through the encryption layer, or
// straight into the bands.
void fillFreeBlocks(const std::string& bundle, const std::string& cipher, const std::string& image) {
  const Ranges free = unallocated(image, "hfs", 40, 4096);
  if (cipher.empty()) {
    fillFree(bundle, free);
    return;
  }
  const crypto::EncryptedHeader header = crypto::EncryptedHeader::decode(readFile(bundle + "/token"));
  const auto keys = crypto::unlock(header, crypto::SecretBytes(kPassword.data(), kPassword.size()));
  ASSERT_TRUE(keys.has_value());
  BandStore bands(bundle + "/bands", MiB, declaredSize(bundle), true);
  crypto::EncryptedImageIO io(bands, MiB, crypto::ChunkCipher(keys->keys, 512));
  for (const auto& [offset, length] : free) {
    const std::string junk = randomBytes(static_cast<std::size_t>(length), static_cast<std::uint32_t>(offset));
    io.write(offset, junk.data(), junk.size());
  }
  bands.sync();
}

// The tool with the password on standard input for an encrypted bundle.
RunResult runOn(const std::string& cipher, std::vector<std::string> args, const std::string& password = kPassword) {
  if (cipher.empty()) return runTool(args);
  args.insert(args.end() - 1, "-stdinpass");
  return runTool(args, {}, password);
}

TEST(EveryCipher, CompactReclaimsFreeBlocksHoldingOldDataAndKeepsTheVolume) {
  for (const std::string& cipher : ciphers) {
    SCOPED_TRACE(cipher);
    Scratch dir;
    const std::string bundle = dir / "Vault.sparsebundle";
    ASSERT_EQ(createWith(bundle, "48m", "HFS+", cipher).status, 0);
    ASSERT_TRUE(imageOf(bundle, cipher, dir / "before.img"));
    const std::vector<std::uint64_t> used = hfsUsedBlocks(dir / "before.img");
    fillFreeBlocks(bundle, cipher, dir / "before.img");
    const std::uint64_t full = allocatedBytes(bundle);
    ASSERT_GT(full, 40 * MiB);

    const RunResult r = runOn(cipher, {"compact", "-batteryallowed", bundle});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Reclaimed ")) << r.out;
    EXPECT_LT(allocatedBytes(bundle), full - 36 * MiB);
    ASSERT_TRUE(imageOf(bundle, cipher, dir / "after.img"));
    EXPECT_TRUE(sameBlocks(readFile(dir / "before.img"), readFile(dir / "after.img"), used));
    EXPECT_TRUE(hfsStat(dir / "after.img", 40).ok);
    EXPECT_TRUE(gptCheck(dir / "after.img").ok);
    if (cipher.empty()) continue;
    // A wrong password, or a cancelled prompt: nothing is touched; converting stays refused.
    const auto before = snapshot(bundle);
    const RunResult wrong = runOn(cipher, {"compact", "-batteryallowed", bundle}, "pW");
    EXPECT_TRUE(wrong.status == 1 && contains(wrong.err, "wrong password")) << wrong.err;
    const RunResult cancelled = runTool({"compact", "-batteryallowed", bundle}, {"QUORBEL_ASKPASS=/bin/false"});
    EXPECT_TRUE(cancelled.status == 1 && contains(cancelled.err, "cancelled")) << cancelled.err;
    EXPECT_EQ(runTool({"convert", bundle, "-format", "UDSB", "-o", dir / "C.sparsebundle", "-imagekey",
                       "sparse-band-size=4096"})
                  .status,
              1);
    EXPECT_EQ(snapshot(bundle), before);
  }
}

// Every cipher gives the volume the plain bundle gets: the partition ends at the last 4 KiB boundary
// before the backup table, and the free blocks are the same.
TEST(EveryCipher, ResizeGrowsAndShrinksTheVolumeAlikeAndRefusalsChangeNothing) {
  std::map<std::string, std::uint64_t> freeBlocks;  // by size, from the first (plain) row
  for (const std::string& cipher : ciphers) {
    SCOPED_TRACE(cipher);
    Scratch dir;
    const std::string bundle = dir / "Vault.sparsebundle";
    ASSERT_EQ(createWith(bundle, "40m", "HFS+J", cipher).status, 0);
    for (const std::string size : {"100m", "30m", "64m"}) {
      SCOPED_TRACE(size);
      const RunResult r = runOn(cipher, {"resize", "-size", size, bundle});
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(declaredSize(bundle), std::stoull(size) * MiB);
      ASSERT_TRUE(imageOf(bundle, cipher, dir / "img"));
      const GptCheck map = gptCheck(dir / "img");
      EXPECT_TRUE(map.ok) << map.report;
      EXPECT_EQ(map.sectors, partitionSectors(std::stoull(size) * MiB));
      const HfsStat stat = hfsStat(dir / "img", 40);
      EXPECT_TRUE(stat.ok && stat.freeBlocks > 0) << stat.report;
      EXPECT_EQ(stat.freeBlocks, freeBlocks.emplace(size, stat.freeBlocks).first->second);
      EXPECT_EQ(hfsFiles(dir / "img", 40).size(), 2u);  // the journal's two files
    }
    // A shrink below what the volume holds, a wrong password, a cancelled prompt: nothing changes.
    const auto before = snapshot(bundle);
    const struct {
      std::vector<std::string> args;
      std::string input, askpass, message;
    } refusals[] = {{{"-size", "1m", "-stdinpass"}, kPassword, "", "not changed"},
                    {{"-stdinpass", "-size", "50m"}, "pv", "", "wrong password"},
                    {{"-size", "50m"}, "", "QUORBEL_ASKPASS=/bin/false", "cancelled"}};
    for (const auto& c : refusals) {
      if (cipher.empty() && c.message != "not changed") continue;
      std::vector<std::string> args{"resize"};
      for (const auto& a : c.args)
        if (!cipher.empty() || a != "-stdinpass") args.push_back(a);
      args.push_back(bundle);
      const RunResult r = runTool(args, {c.askpass.empty() ? "QUORBEL_ASKPASS=" : c.askpass}, c.input);
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(contains(r.err, c.message)) << r.err;
      EXPECT_EQ(snapshot(bundle), before);
    }
  }
}

std::string askpassScript(const Scratch& dir, const std::string& name, const std::string& body) {
  const std::string path = dir / name;
  writeFile(path, "#!/bin/sh\necho \"$#:$1\" >> " + quote(dir / "asked") + "\n" + body + "\n");
  shell("chmod +x " + quote(path));
  return path;
}

// Whether `password` opens the bundle and every decrypted byte is `plain`.
bool opensUnchanged(const std::string& bundle, const std::string& password, const std::string& plain) {
  Scratch s;
  return decryptBundle(bundle, password, s / "img") && readFile(s / "img") == plain;
}

TEST(ChangePassword, EveryFormKeepsEveryByteReplacesTheTokenWholeAndRefusalsChangeNothing) {
  Scratch dir;
  const std::string bundle = dir / "V.sparsebundle";
  ASSERT_EQ(createEncrypted(bundle, "16m", "HFS+J", "AES-256", "first").status, 0);
  ASSERT_TRUE(decryptBundle(bundle, "first", dir / "plain.img"));
  const std::string plain = readFile(dir / "plain.img");
  const std::string answerWrong = askpassScript(dir, "wrong.sh", "printf 'nope\\n'");
  const std::string answerSecond = askpassScript(dir, "second.sh", "printf 'second\\n'");
  const std::string cancel = askpassScript(dir, "cancel.sh", "exit 1");
  const std::vector<std::string> both{"-oldstdinpass", "-newstdinpass"};
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::string input, askpass;
    const char* current;  // the password the bundle has before
    const char* after;    // and after; equal to `current` for a refusal
    const char* message;  // on standard error for a refusal
  } cases[] = {
      {"both on stdin", both, std::string("first\0second", 12), "", "first", "second", ""},
      {"wrong current on stdin", both, std::string("first\0third", 11), "", "second", "second", "wrong password"},
      {"only one on stdin", both, "second", "", "second", "second", "NUL byte"},
      {"no way to ask", {"-newstdinpass"}, "third", "", "second", "second", "QUORBEL_ASKPASS"},
      {"askpass cancelled", {"-newstdinpass"}, "third", cancel, "second", "second", "cancelled"},
      {"askpass wrong", {"-newstdinpass"}, "third", answerWrong, "second", "second", "wrong password"},
      // The window's form: the current password through the askpass program, the prompt its one argument.
      {"askpass right", {"-newstdinpass"}, "fourth", answerSecond, "second", "fourth", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto before = snapshot(bundle);
    // A second name for the old token: a token rewritten in place would change under it too.
    const std::string oldToken = readFile(bundle + "/token");
    std::filesystem::remove(dir / "old-token");
    std::filesystem::create_hard_link(bundle + "/token", dir / "old-token");
    writeFile(dir / "asked", "");
    std::vector<std::string> args{"chpass", bundle};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = runTool(args, {"QUORBEL_ASKPASS=" + c.askpass}, c.input);
    EXPECT_EQ(readFile(dir / "old-token"), oldToken);
    if (std::string(c.current) == c.after) {
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(contains(r.err, c.message)) << r.err;
      EXPECT_EQ(snapshot(bundle), before);
    } else {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, "password changed: " + bundle + "\n");
      EXPECT_FALSE(opensUnchanged(bundle, c.current, plain));
      EXPECT_EQ(readFile(bundle + "/token").size(), oldToken.size());
    }
    EXPECT_TRUE(opensUnchanged(bundle, c.after, plain));
  }
  EXPECT_EQ(readFile(dir / "asked"), "1:Current password of V.sparsebundle:\n");
  // No password ever lands in the bundle, and no replacement file is left beside the token.
  for (const auto& [name, description] : snapshot(bundle)) {
    EXPECT_FALSE(contains(name, "token.new")) << name;
    if ((std::stoul(description) & S_IFMT) != S_IFREG) continue;
    for (const char* secret : {"first", "second", "fourth"})
      EXPECT_FALSE(contains(readFile(bundle + "/" + name), secret)) << name;
  }
}

TEST(ChangePassword, TheMacFixtureTakesANewPasswordAndCompactionAndStillOpens) {
  const std::string original = fixture("Test1Enc.sparsebundle");
  if (original.empty()) GTEST_SKIP() << "the macOS fixtures (../shared/fixtures/macos) are absent";
  Scratch dir;
  const std::string bundle = dir / "Test1Enc.sparsebundle";
  copyTree(original, bundle);
  ASSERT_TRUE(decryptBundle(bundle, "foo", dir / "before.img"));
  const auto files = hfsFiles(dir / "before.img", 0);
  ASSERT_GT(files.size(), 40u);

  RunResult r = runTool({"chpass", bundle, "-oldstdinpass", "-newstdinpass"}, {}, std::string("foo\0bar", 7));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string token = readFile(bundle + "/token"), old = readFile(original + "/token");
  ASSERT_EQ(token.size(), old.size());
  EXPECT_EQ(token.substr(0, 0x60), old.substr(0, 0x60));  // the header itself is kept
  r = runTool({"compact", "-batteryallowed", "-stdinpass", bundle}, {}, "bar");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(decryptBundle(bundle, "foo", dir / "old.img"));
  ASSERT_TRUE(decryptBundle(bundle, "bar", dir / "after.img"));
  EXPECT_EQ(hfsFiles(dir / "after.img", 0), files);
  EXPECT_TRUE(hfsStat(dir / "after.img", 0).ok);

  // A token made here has the Mac's layout: the same header fields and the same fixed fields of the
  // passphrase record; only the uuid, the iteration count, the salt, the IV and the wrapped keys differ.
  ASSERT_EQ(createEncrypted(dir / "Made.sparsebundle", "10m", "HFS+J", "AES-128", "x").status, 0);
  const std::string ours = readFile(dir / "Made.sparsebundle/token");
  ASSERT_EQ(ours.size(), old.size());
  EXPECT_EQ(ours.substr(0, 0x24), old.substr(0, 0x24));
  EXPECT_EQ(ours.substr(0x34, 0x2c), old.substr(0x34, 0x2c));
  EXPECT_EQ(ours.substr(0x60, 4), old.substr(0x60, 4));        // key derivation
  EXPECT_EQ(ours.substr(0x6c, 4), old.substr(0x6c, 4));        // salt length
  EXPECT_EQ(ours.substr(0x90, 4), old.substr(0x90, 4));        // IV length
  EXPECT_EQ(ours.substr(0xb4, 0x14), old.substr(0xb4, 0x14));  // 3DES, PKCS#7, CBC, blob length
  EXPECT_EQ(ours.substr(0x60 + 0x268), std::string(old.size() - 0x60 - 0x268, '\0'));
}

}  // namespace
}  // namespace quorbel::imagetool::test
