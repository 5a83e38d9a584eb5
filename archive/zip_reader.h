// Reading an archive's directory: the end-record search, the Zip64 records, the central
// directory, stub detection, and the repair scan that rebuilds a directory from local headers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "archive/zip_dir.h"
#include "archive/zip_stream.h"

namespace tarvo::archive {

inline constexpr size_t kEndRecordSearchSize = 65600;
inline constexpr size_t kRepairWindow = 65535;
inline constexpr size_t kStubWindow = 10000;

struct DirectoryReadOptions {
  bool oem_file_names = true;
  bool repair_on_open = true;
  std::string component_name;  // for the messages
};

struct EndRecordHit {
  uint64_t position = 0;
  EndOfCentralDir record;
  std::string comment;
};

// The end record whose comment reaches exactly to the end of the file, searched backwards over
// the last 65,600 bytes.
std::optional<EndRecordHit> FindEndRecord(ZipStream& stream);

// The first occurrence of a 4-byte signature at or after `from`, reading windows of `window` bytes
// that overlap by 4.
std::optional<uint64_t> FindSignature(ZipStream& stream, uint64_t from, uint32_t signature,
                                      size_t window);

// Fills the directory. Throws EZipException (35, 40, 44, 48, 57) or, with repair off, the read
// errors of the directory.
void ReadCentralDirectory(ZipStream& stream, TZipDirManager& dir,
                          const DirectoryReadOptions& options);
void RepairDirectory(ZipStream& stream, TZipDirManager& dir, const DirectoryReadOptions& options);
// Refuses (native error 63) a directory whose entries share data with each other, or, with
// `against_directory`, with the central directory itself.
void RefuseOverlaps(ZipStream& stream, const TZipDirManager& dir,
                    const DirectoryReadOptions& options, bool against_directory);

}  // namespace tarvo::archive
