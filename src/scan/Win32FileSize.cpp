#include "scan/Win32FileSize.h"

namespace sondrel {

std::uint32_t QueryWin32FileSize(Platform& platform, std::string_view path) {
  FileHandle handle = platform.CreateFileA(path, kGenericRead, kFileShareRead, kOpenExisting);
  if (handle == kInvalidHandleValue) return 0;
  std::uint32_t size = platform.GetFileSize(handle);
  if (size == kInvalidFileSize) size = 0;
  platform.CloseHandle(handle);
  return size;
}

}  // namespace sondrel
