// Enumerations and option records of the archive component.
#pragma once

#include <cstdint>

namespace tarvo::archive {

enum class TZipCompressionLevel { clNone, clFastest, clNormal, clMax };
enum class TZip64Mode { zmDisabled, zmAuto, zmAlways };
enum class TZipStorePathMode { spNoPath, spRelativePath, spFullPath, spFullPathWithDrive };
enum class TZipFileShareMode {
  smShareCompat,
  smShareExclusive,
  smShareDenyWrite,
  smShareDenyRead,
  smShareDenyNone
};
enum class TZipOverwriteMode { omPrompt, omAlways, omNever, omIfNewer, omIfOlder };
enum class TZipSpanningMode { smNone, smSpanning, smSplitting };
enum class TZipProgressPhase { ppStart, ppProcess, ppEnd };
enum class TZipProcessOperation {
  poNone,
  poAdd,
  poMove,
  poDelete,
  poUpdate,
  poRename,
  poChangeAttr,
  poChangeComment,
  poExtract,
  poTest,
};
enum class TZipAction { fxaRetry, fxaIgnore, fxaAbort };

struct TZipOptions {
  bool Recurse = true;
  TZipStorePathMode StorePath = TZipStorePathMode::spRelativePath;
  TZipFileShareMode ShareMode = TZipFileShareMode::smShareDenyNone;
  TZipOverwriteMode OverwriteMode = TZipOverwriteMode::omAlways;
  bool CreateDirs = true;
  bool ReplaceReadOnly = true;
  bool SetAttributes = true;
  uint32_t SearchAttr = 0x28BF;
  bool FlushBuffers = true;
  bool OEMFileNames = true;
};

// Open modes (Windows file-mode values).
inline constexpr uint16_t kOpenCreate = 0xFFFF;
inline constexpr uint16_t kOpenReadWrite = 2;
inline constexpr uint16_t kOpenReadDenyWrite = 0x20;
inline constexpr uint16_t kOpenReadWriteDenyWrite = 0x22;
inline constexpr uint16_t kOpenReadDenyNone = 0x40;

inline constexpr uint32_t kFaDefaultSearch = 0x28BF;

}  // namespace tarvo::archive
