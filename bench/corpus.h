// The benchmarks' corpora: real files found on the build machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Up to 4 MiB of one kind of file, concatenated in a fixed order (a file
// gives at most 1 MiB) so that runs compare: "text" (the sources under
// `source_dir`, /usr/share/common-licenses, /usr/share/doc), "exe"
// (/usr/bin) or "image" (PNG, BMP and ICO files of the icon themes, pixmaps
// and Wine).
std::vector<uint8_t> GatherCorpus(const std::string& kind, const std::string& source_dir);
