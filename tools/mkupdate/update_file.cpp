#include "tools/mkupdate/update_file.h"

#include <cstdio>
#include <ctime>
#include <fstream>

#include "archive/payload_checksum.h"
#include "resources/resource_ids.h"
#include "tools/mkupdate/host.h"
#include "tools/mkupdate/pe_resources.h"

namespace fs = std::filesystem;

bool ReadBytes(const fs::path& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::string DigestText(uint64_t digest) {
  char text[20];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(digest));
  return text;
}

bool ReadUpdateFile(const std::string& path, UpdateFile* file, std::string* error) {
  if (!ReadBytes(path, &file->image)) {
    *error = path + ": cannot be read";
    return false;
  }
  if (file->image.size() >= 2 && file->image[0] == 'M' && file->image[1] == 'Z') {
    std::vector<Resource> resources;
    if (!ReadUpdateResources(file->image, IDR_PAYLOAD, IDR_PAYLOAD_CHECKSUM, &resources, error)) {
      *error = path + ": " + *error;
      return false;
    }
    const Resource* found[2] = {};
    for (const Resource& r : resources) found[r.key.name_id == IDR_PAYLOAD ? 0 : 1] = &r;
    if (found[0] == nullptr) {
      *error = path + ": an executable without an update (no resource UPDATE/102)";
      return false;
    }
    if (found[1] != nullptr) {
      file->has_checksum = true;
      file->checksum = found[1]->data;
    }
    file->image = found[0]->data;
  }
  if (file->image.size() > 0xFFFFFFFFu) {
    *error = path + ": larger than 4 GiB";
    return false;
  }
  return true;
}

bool ChecksumMatches(const std::string& path, const UpdateFile& file, std::string* error) {
  if (!file.has_checksum || PayloadMatchesChecksum(file.image.data(), uint32_t(file.image.size()), file.checksum.data(),
                                                   uint32_t(file.checksum.size())))
    return true;
  ChecksumRecord record;
  if (!ParseChecksumRecord(file.checksum.data(), uint32_t(file.checksum.size()), &record)) {
    *error = path + ": the checksum record (UPDATE/103) is damaged or of an unknown version; the updater refuses it";
  } else if (record.ImageSize != file.image.size()) {
    *error = path + ": the payload is damaged: the checksum record covers " + std::to_string(record.ImageSize) +
             " bytes, the payload has " + std::to_string(file.image.size());
  } else {
    *error = path + ": the payload is damaged: its XXH64 is " +
             DigestText(Xxh64(file.image.data(), file.image.size(), 0)) + ", the checksum record says " +
             DigestText(record.Digest);
  }
  return false;
}

std::string TimeText(uint64_t file_time) {
  int64_t seconds = (int64_t(file_time) - kUnixEpochAsFileTime) / 10000000;
  time_t t = time_t(seconds);
  struct tm parts;
#ifdef _WIN32
  gmtime_s(&parts, &t);
#else
  gmtime_r(&t, &parts);
#endif
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}
