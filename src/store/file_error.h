// The one exception the store throws besides std::bad_alloc: a repository
// file that must not be read at all, neither here nor by dulwich. Declining
// such a file would hand it to dulwich, which waits for ever on a pipe and
// reads a link to /dev/zero until memory runs out; the caller reports it
// instead (core/ turns it into the host's OSError or ValueError).
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "platform/buffer.h"
#include "platform/files.h"

namespace store {

class FileError : public std::exception {
 public:
  enum class Kind : std::uint8_t {
    NotRegular,  // a pipe, a socket, a device (or a link to one) where git keeps a regular file
    TooLarge,    // more than anything the store builds from a file of its kind
  };

  // `path` is not a regular file.
  static FileError not_regular(std::string path);
  // `path` is larger than a file of its kind can be: `what` says how
  // ("inflates to 629145600 bytes, more than the 268435456 bytes of the
  // largest object the store reads").
  static FileError too_large(std::string path, std::string_view what);

  Kind kind() const { return kind_; }
  // The file's path, in the file system's bytes.
  const std::string& path() const { return path_; }
  // What is wrong, the path included.
  const std::string& message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  FileError(Kind kind, std::string path, std::string message)
      : kind_(kind), path_(std::move(path)), message_(std::move(message)) {}

  Kind kind_;
  std::string path_;
  std::string message_;
};

// platform::read_whole_file for a file git keeps as a regular file: the same
// result, but a file of another kind throws FileError instead of failing.
int read_repository_file(const std::string& path, platform::Buffer& out);
int read_repository_file(const std::string& path, platform::Buffer& out, platform::FileInfo& info);

}  // namespace store
