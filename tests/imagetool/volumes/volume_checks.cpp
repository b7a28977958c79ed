#include "volume_checks.h"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "imagetool/bundle/band_store.h"
#include "imagetool/bundle/bundle.h"
#include "support.h"

namespace quorbel::imagetool::test {

Shell shell(const std::string& command) {
  Shell r;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool haveProgram(const std::string& name) { return shell("command -v " + name).status == 0; }

std::uint64_t flattenTo(const std::string& bundle, const std::string& file) {
  const std::string image = flatten(bundle);
  writeFile(file, image);
  return image.size();
}

std::string field(const std::string& report, const std::string& name) {
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find(name + ":");
    if (at != std::string::npos && line.find_first_not_of(" \t") == at) {
      const std::string value = line.substr(at + name.size() + 1);
      return value.substr(std::min(value.size(), value.find_first_not_of(' ')));
    }
  }
  return "";
}

HfsStat hfsStat(const std::string& image, std::uint64_t sectorOffset) {
  HfsStat s;
  const Shell r = shell("fsstat -f hfs -o " + std::to_string(sectorOffset) + " " + quoted(image));
  s.report = r.output;
  std::smatch m;
  static const std::regex range(R"(Block Range: 0 - (\d+))"), size(R"(Allocation Block Size: (\d+))"),
      freeBlocks(R"(Number of Free Blocks: (\d+))");
  if (r.status != 0 || !std::regex_search(r.output, m, range)) return s;
  s.blocks = std::stoull(m[1]) + 1;
  if (std::regex_search(r.output, m, size)) s.blockSize = std::stoull(m[1]);
  if (std::regex_search(r.output, m, freeBlocks)) s.freeBlocks = std::stoull(m[1]);
  s.ok = s.blockSize != 0;
  return s;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> unallocated(const std::string& image, const std::string& type,
                                                                 std::uint64_t sectorOffset, std::uint64_t unitBytes) {
  const Shell r = shell("blkls -f " + type + " -o " + std::to_string(sectorOffset) + " -A -l " + quoted(image));
  if (r.status != 0) throw std::runtime_error("blkls failed: " + r.output);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  static const std::regex line(R"(^(\d+)\|f$)");
  std::istringstream in(r.output);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (!std::regex_match(text, m, line)) continue;
    const std::uint64_t start = sectorOffset * 512 + std::stoull(m[1]) * unitBytes;
    if (!ranges.empty() && ranges.back().first + ranges.back().second == start)
      ranges.back().second += unitBytes;
    else
      ranges.emplace_back(start, unitBytes);
  }
  return ranges;
}

std::map<std::string, std::string> hfsFiles(const std::string& image, std::uint64_t sectorOffset) {
  const std::string o = " -o " + std::to_string(sectorOffset) + " ";
  const Shell list = shell("fls -f hfs -r -F -p" + o + quoted(image));
  if (list.status != 0) throw std::runtime_error("fls failed: " + list.output);
  std::map<std::string, std::string> files;
  static const std::regex line(R"(^r/r (\d+):\t(.*)$)");
  std::istringstream in(list.output);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (!std::regex_match(text, m, line) || m[2].str().starts_with("$")) continue;
    const Shell cat = shell("icat -f hfs" + o + quoted(image) + " " + m[1].str());
    if (cat.status != 0) throw std::runtime_error("icat failed for " + m[2].str());
    files[m[2].str()] = cat.output;
  }
  return files;
}

GptCheck gptCheck(const std::string& image) {
  GptCheck c;
  const Shell verify = shell("sfdisk --verify " + quoted(image));
  const Shell dump = shell("sfdisk -d " + quoted(image));
  c.report = verify.output + dump.output;
  std::smatch m;
  static const std::regex last(R"(last-lba: (\d+))"), part(R"(start=\s*(\d+), size=\s*(\d+))");
  if (std::regex_search(dump.output, m, last)) c.lastLba = std::stoull(m[1]);
  if (std::regex_search(dump.output, m, part)) {
    c.start = std::stoull(m[1]);
    c.sectors = std::stoull(m[2]);
  }
  c.readable = dump.status == 0 && c.sectors != 0;
  // sfdisk reports a damaged or misplaced table on its output while still exiting 0 for some.
  c.ok = verify.status == 0 && dump.status == 0 && verify.output.find("No errors detected") != std::string::npos &&
         c.report.find("corrupt") == std::string::npos && c.report.find("mismatch") == std::string::npos;
  return c;
}

void writeIntoBundle(const std::string& bundle, std::uint64_t offset, const std::string& data) {
  const Bundle opened = Bundle::open(bundle, Access::inspect);
  BandStore store(opened.bandsDir(), opened.info().bandSize, opened.info().size, true);
  store.write(offset, data.data(), data.size());
  store.sync();
}

std::uint64_t declaredSize(const std::string& bundle, const std::string& file) {
  return parseInfo(readFile(bundle + "/" + file), file).size;
}

}  // namespace quorbel::imagetool::test
