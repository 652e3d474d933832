// An update as mkupdate reads it back: the archive and the checksum record
// of an update executable, or a raw archive, checked as the updater checks it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// A whole file; false when it cannot be read.
bool ReadBytes(const std::filesystem::path& path, std::vector<uint8_t>* bytes);

// An update executable or a raw archive, read for list, extract, verify and plan.
struct UpdateFile {
  std::vector<uint8_t> image;     // the archive
  bool has_checksum = false;      // the executable carries UPDATE/103
  std::vector<uint8_t> checksum;  // its bytes
};

// Reads FILE: an update executable's resources UPDATE/102 and UPDATE/103,
// or the whole file as a raw archive.
bool ReadUpdateFile(const std::string& path, UpdateFile* file, std::string* error);

// The payload against its checksum record, as the updater checks it: the
// updater's own verdict; what went wrong, for the message.
bool ChecksumMatches(const std::string& path, const UpdateFile& file, std::string* error);

// A 64-bit digest in 16 hexadecimal digits.
std::string DigestText(uint64_t digest);

// A FILETIME as "YYYY-MM-DD HH:MM:SS", UTC.
std::string TimeText(uint64_t file_time);
