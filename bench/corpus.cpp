#include "bench/corpus.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

constexpr size_t kCorpusSize = 4 << 20;

// Files below `roots` whose names end in one of `endings`.
std::vector<uint8_t> Gather(const std::vector<std::string>& roots, const std::vector<std::string>& endings) {
  std::vector<fs::path> files;
  for (const std::string& root : roots) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec || !it->is_regular_file(ec) || it->is_symlink(ec)) continue;
      std::string name = it->path().filename().string();
      for (const std::string& e : endings)
        if (e.empty() || (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0))
          files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  std::vector<uint8_t> corpus;
  for (const fs::path& p : files) {
    std::ifstream in(p, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() > (1 << 20)) b.resize(1 << 20);
    corpus.insert(corpus.end(), b.begin(), b.end());
    if (corpus.size() >= kCorpusSize) break;
  }
  corpus.resize(std::min(corpus.size(), kCorpusSize));
  return corpus;
}

}  // namespace

std::vector<uint8_t> GatherCorpus(const std::string& kind, const std::string& source_dir) {
  if (kind == "text")
    return Gather({source_dir, "/usr/share/common-licenses", "/usr/share/doc"},
                  {".cpp", ".h", ".md", ".txt", "copyright"});
  if (kind == "exe") return Gather({"/usr/bin"}, {""});
  return Gather({"/usr/share/icons", "/usr/share/pixmaps", "/usr/share/wine"}, {".png", ".bmp", ".ico"});
}
