#include "store/file_error.h"

#include <utility>

namespace store {

FileError FileError::not_regular(std::string path) {
  std::string message = path + ": not a regular file";
  return FileError(Kind::NotRegular, std::move(path), std::move(message));
}

FileError FileError::too_large(std::string path, std::string_view what) {
  std::string message = path + ": ";
  message += what;
  return FileError(Kind::TooLarge, std::move(path), std::move(message));
}

int read_repository_file(const std::string& path, platform::Buffer& out) {
  platform::FileInfo info;
  return read_repository_file(path, out, info);
}

int read_repository_file(const std::string& path, platform::Buffer& out, platform::FileInfo& info) {
  const int error = platform::read_whole_file(path, out, info);
  if (error == platform::kNotRegularFile) throw FileError::not_regular(path);
  return error;
}

}  // namespace store
