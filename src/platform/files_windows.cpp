// The file layer on Windows, through the Win32 API (and ntdll's NtCreateFile
// for opening a name inside an open directory).
//
// Where Windows differs from what files.h describes in POSIX words:
//
// - Paths are UTF-8 here and UTF-16 to the system. A name that is not valid
//   UTF-16 (an unpaired surrogate, which NTFS allows) travels as the
//   three-byte sequence of that surrogate, as Python's file system encoding
//   on Windows ("surrogatepass") gives it, so every name listed can be
//   opened again. Paths are made absolute (GetFullPathNameW: "/" and "\" both
//   separate, "." and ".." are resolved, a trailing dot or space of a name is
//   dropped, as every Win32 call does) and given the `\\?\` prefix, so a path
//   of any length up to the system's 32,767 characters opens. A path that is
//   not valid UTF-8 names nothing (ENOENT).
// - Names are compared without regard to case on most Windows volumes:
//   "refs/heads/Main" and "refs/heads/main" are one file, as they are to git
//   there. Names are listed as stored.
// - There is no inode: a file's identity is its volume's serial number
//   (`device`) and its file id (`inode`), from FILE_ID_INFO where the system
//   gives it (ReFS's 128-bit id has its upper half folded into `device`),
//   else from BY_HANDLE_FILE_INFORMATION. `mtime_ns` is the last write time;
//   `ctime_ns` is the change time (FILE_BASIC_INFO's ChangeTime: content,
//   attributes, name), or the last write time where the system does not give
//   it. git for Windows puts the creation time and zero device and inode in
//   its index, so an index entry's stat data never vouches for a file here:
//   such files are read and hashed instead (slower, never wrong).
// - There are no owners in POSIX terms: uid and gid are 0, as git for Windows
//   reports them. The mode is synthesised as git for Windows does: the type,
//   then 0400, and 0200 unless the file is read-only; never executable.
// - A link is a reparse point tagged IO_REPARSE_TAG_SYMLINK. A junction (a
//   mount point) is a directory, as git for Windows takes it: it is followed
//   when listed or opened. Its target (and a link's) is the reparse point's
//   substitute name with the `\??\` prefix dropped, `\??\UNC\` made `\\`, and
//   "\" turned into "/", which is the text git for Windows reads as a link's
//   target (and hashes). Any other reparse point (a deduplicated file, a
//   cloud placeholder) is opened through its file system filter, like a
//   plain file.
// - Files are opened sharing reading, writing and deletion, so the store
//   never stops another process from writing, renaming or deleting a file it
//   has open. A mapped file is the exception Windows makes: while a pack is
//   mapped, it cannot be truncated, and git cannot delete or replace it (git
//   for Windows asks whether to try again). A file therefore never shrinks
//   under a mapping here, which on POSIX stops the process (SIGBUS).
// - Nothing waits for a writer: pipes live in their own namespace
//   (\\.\pipe\), not among files; a device name (NUL, CON) opens as a
//   character device, kind Other, which is never read.
// - There are no interrupted system calls: RetryInterrupted is never called.
//
// Errors are mapped to the C library's error numbers, as git for Windows
// maps them (ERROR_FILE_NOT_FOUND and ERROR_PATH_NOT_FOUND: ENOENT;
// ERROR_DIRECTORY: ENOTDIR; ERROR_ACCESS_DENIED and sharing violations:
// EACCES; ...).
//
// Opening a name inside an open directory (File::open_in, File::info_of)
// uses NtCreateFile with the directory's handle as its root: the system
// looks up that one name relative to the directory actually opened, exactly
// as openat does, even if the directory is renamed or replaced meanwhile.
// The alternative, opening the joined path and then checking the parent's
// identity, leaves a window between the check and the open (and costs a
// second open per file); NtCreateFile is documented, stable since Windows NT
// and what the Win32 calls are built on.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/files.h"

namespace platform {

namespace {

// --- Paths: UTF-8 (with lone surrogates as Python's surrogatepass writes them) and UTF-16.

// Appends the UTF-16 form of `text`; false for bytes that are not UTF-8.
bool append_wide(std::string_view text, std::wstring& out) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::uint32_t point = 0;
    std::size_t length = 0;
    if (lead < 0x80) {
      point = lead;
      length = 1;
    } else if (lead >= 0xc2 && lead < 0xe0) {
      point = lead & 0x1fu;
      length = 2;
    } else if (lead >= 0xe0 && lead < 0xf0) {
      point = lead & 0x0fu;
      length = 3;
    } else if (lead >= 0xf0 && lead < 0xf5) {
      point = lead & 0x07u;
      length = 4;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0u) != 0x80u) return false;
      point = point << 6 | (next & 0x3fu);
    }
    // Overlong forms and points past U+10FFFF are not UTF-8; a surrogate
    // (three bytes) stands for itself.
    if ((length == 3 && point < 0x800) || (length == 4 && (point < 0x10000 || point > 0x10ffff))) return false;
    if (point >= 0x10000) {
      point -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xd800 + (point >> 10)));
      out.push_back(static_cast<wchar_t>(0xdc00 + (point & 0x3ffu)));
    } else {
      out.push_back(static_cast<wchar_t>(point));
    }
    i += length;
  }
  return true;
}

// The UTF-8 form of `text`, an unpaired surrogate as its own three bytes.
std::string narrow(const wchar_t* text, std::size_t size) {
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    std::uint32_t point = static_cast<std::uint16_t>(text[i]);
    if (point >= 0xd800 && point < 0xdc00 && i + 1 < size) {
      const std::uint32_t low = static_cast<std::uint16_t>(text[i + 1]);
      if (low >= 0xdc00 && low < 0xe000) {
        point = 0x10000 + ((point - 0xd800) << 10) + (low - 0xdc00);
        ++i;
      }
    }
    if (point < 0x80) {
      out.push_back(static_cast<char>(point));
    } else if (point < 0x800) {
      out.push_back(static_cast<char>(0xc0 | point >> 6));
      out.push_back(static_cast<char>(0x80 | (point & 0x3f)));
    } else if (point < 0x10000) {
      out.push_back(static_cast<char>(0xe0 | point >> 12));
      out.push_back(static_cast<char>(0x80 | (point >> 6 & 0x3f)));
      out.push_back(static_cast<char>(0x80 | (point & 0x3f)));
    } else {
      out.push_back(static_cast<char>(0xf0 | point >> 18));
      out.push_back(static_cast<char>(0x80 | (point >> 12 & 0x3f)));
      out.push_back(static_cast<char>(0x80 | (point >> 6 & 0x3f)));
      out.push_back(static_cast<char>(0x80 | (point & 0x3f)));
    }
  }
  return out;
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// The path the system is given for `path`: absolute, with the `\\?\` prefix
// that lifts the length limit (a device path, `\\.\`, stays as it is). 0, or
// ENOENT for a path that is not UTF-8 or holds a NUL, or what making it
// absolute failed with.
int system_path(const std::string& path, std::wstring& out) {
  out.clear();
  if (path.find('\0') != std::string::npos) return ENOENT;
  std::wstring wide;
  if (!append_wide(path.empty() ? std::string_view("/") : std::string_view(path), wide)) return ENOENT;
  if (starts_with(wide, L"\\\\?\\")) {
    // Taken as it is by the system, where "/" separates nothing: the store
    // appends "/objects" and the like.
    for (wchar_t& c : wide) {
      if (c == L'/') c = L'\\';
    }
    out = std::move(wide);
    return 0;
  }
  std::wstring full(wide.size() + MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetFullPathNameW(
        wide.c_str(), static_cast<DWORD>(std::min<std::size_t>(full.size(), MAXDWORD)), full.data(), nullptr);
    if (length == 0) return ENOENT;
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);  // the room it asked for, its terminating NUL included
  }
  if (starts_with(full, L"\\\\.\\") || starts_with(full, L"\\\\?\\")) {
    out = std::move(full);
  } else if (starts_with(full, L"\\\\")) {
    out = L"\\\\?\\UNC\\";  // \\server\share\... is \\?\UNC\server\share\...
    out.append(full, 2, std::wstring::npos);
  } else {
    out = L"\\\\?\\";
    out += full;
  }
  return 0;
}

// --- Errors.

int error_number(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_DELETE_PENDING:  // going away: only its open handles still see it
    case ERROR_NO_MORE_FILES:
      return ENOENT;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_NETWORK_ACCESS_DENIED:
      return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_CANT_RESOLVE_FILENAME:  // too many links in a row
      return ELOOP;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    case ERROR_NOT_A_REPARSE_POINT:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_FUNCTION:
      return EINVAL;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    default:
      return EIO;
  }
}

int last_error() { return error_number(::GetLastError()); }

int status_error(NTSTATUS status) { return error_number(::RtlNtStatusToDosError(status)); }

// --- What a handle says of its file.

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE open_handle(const std::wstring& path, DWORD access, bool follow_links) {
  // Backup semantics: a directory opens too (for its identity), as on POSIX.
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return ::CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
}

// A handle closed when dropped, for the handles this file opens and closes itself.
struct Closing {
  HANDLE handle;
  ~Closing() {
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) ::CloseHandle(handle);
  }
};

// 100-nanosecond ticks since 1601 as nanoseconds since 1970.
std::int64_t nanoseconds(std::int64_t ticks) {
  constexpr std::int64_t kEpoch = 116444736000000000;  // 1970-01-01 in ticks since 1601
  return (ticks - kEpoch) * 100;
}

std::int64_t nanoseconds(const FILETIME& time) {
  return nanoseconds(
      static_cast<std::int64_t>(static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime));
}

bool is_link(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && tag == IO_REPARSE_TAG_SYMLINK;
}

FileKind kind_of(DWORD attributes, DWORD tag) {
  if (is_link(attributes, tag)) return FileKind::Link;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::Directory;
  return FileKind::Regular;
}

// The attributes and reparse tag of an open file.
bool attributes_of(HANDLE handle, DWORD& attributes, DWORD& tag) {
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) return false;
  attributes = info.FileAttributes;
  tag = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? info.ReparseTag : 0;
  return true;
}

int info_of_handle(HANDLE handle, FileInfo& info) {
  info = FileInfo();
  // A character device or a pipe has no file information: kind Other.
  const DWORD type = ::GetFileType(handle);
  if (type != FILE_TYPE_DISK) {
    if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) return last_error();
    info.kind = FileKind::Other;
    info.mode = (type == FILE_TYPE_PIPE ? 0010000u : 0020000u) | 0600u;
    return 0;
  }
  BY_HANDLE_FILE_INFORMATION basic;
  if (!::GetFileInformationByHandle(handle, &basic)) return last_error();
  DWORD attributes = basic.dwFileAttributes, tag = 0;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !attributes_of(handle, attributes, tag)) return last_error();
  info.kind = kind_of(attributes, tag);
  const std::uint32_t type_bits = info.kind == FileKind::Link        ? kModeLink
                                  : info.kind == FileKind::Directory ? kModeDirectory
                                                                     : kModeRegular;
  info.mode = type_bits | 0400u | ((attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0u : 0200u);
  FileIdentity& identity = info.identity;
  identity.device = basic.dwVolumeSerialNumber;
  identity.inode = static_cast<std::uint64_t>(basic.nFileIndexHigh) << 32 | basic.nFileIndexLow;
  FILE_ID_INFO id;
  if (::GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
    std::uint64_t low = 0, high = 0;
    std::memcpy(&low, id.FileId.Identifier, sizeof low);
    std::memcpy(&high, id.FileId.Identifier + sizeof low, sizeof high);
    identity.device = id.VolumeSerialNumber ^ (high << 32 | high >> 32);
    identity.inode = low;
  }
  identity.size = static_cast<std::uint64_t>(basic.nFileSizeHigh) << 32 | basic.nFileSizeLow;
  identity.mtime_ns = nanoseconds(basic.ftLastWriteTime);
  identity.ctime_ns = identity.mtime_ns;
  FILE_BASIC_INFO times;
  if (::GetFileInformationByHandleEx(handle, FileBasicInfo, &times, sizeof times) && times.ChangeTime.QuadPart != 0) {
    identity.ctime_ns = nanoseconds(times.ChangeTime.QuadPart);
  }
  return 0;
}

// --- Opening a name relative to an open directory.

constexpr ULONG kReadOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT;
constexpr ACCESS_MASK kReadAccess = FILE_GENERIC_READ;
constexpr ACCESS_MASK kAttributesAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// NtCreateFile of `name` inside `directory`; the name as given, "/" and "\"
// both separating.
int open_relative(HANDLE directory, const char* name, ACCESS_MASK access, bool follow_links, HANDLE& out) {
  out = INVALID_HANDLE_VALUE;
  std::wstring wide;
  if (!append_wide(name, wide) || wide.empty()) return ENOENT;
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  if (wide.size() * sizeof(wchar_t) > std::numeric_limits<USHORT>::max() - sizeof(wchar_t)) return ENAMETOOLONG;
  UNICODE_STRING text;
  text.Buffer = wide.data();
  text.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES object;
  InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, directory, nullptr);
  IO_STATUS_BLOCK status_block;
  HANDLE handle = nullptr;
  const NTSTATUS status = ::NtCreateFile(&handle, access, &object, &status_block, nullptr, 0, kShareAll, FILE_OPEN,
                                         kReadOptions | (follow_links ? 0 : FILE_OPEN_REPARSE_POINT), nullptr, 0);
  if (!NT_SUCCESS(status)) return status_error(status);
  out = handle;
  return 0;
}

// After opening with the reparse point not followed: ELOOP for a link; a
// reparse point of another kind that is not a directory (a deduplicated or
// cloud file) is opened again through its filter with `reopen`, and must be
// the same file.
template <typename Reopen>
int refuse_link(HANDLE& handle, Reopen reopen) {
  DWORD attributes = 0, tag = 0;
  if (!attributes_of(handle, attributes, tag)) return last_error();
  if (is_link(attributes, tag)) return ELOOP;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return 0;
  FileInfo before, after;
  if (const int error = info_of_handle(handle, before)) return error;
  HANDLE again = INVALID_HANDLE_VALUE;
  if (const int error = reopen(again)) return error;
  Closing closing{again};
  if (const int error = info_of_handle(again, after)) return error;
  if (after.identity.device != before.identity.device || after.identity.inode != before.identity.inode) return ENOENT;
  std::swap(handle, closing.handle);
  return 0;
}

}  // namespace

bool means_absent(int error) { return error == ENOENT || error == ENOTDIR; }

int file_info(const std::string& path, bool follow_links, FileInfo& info) {
  std::wstring wide;
  if (const int error = system_path(path, wide)) return error;
  Closing file{open_handle(wide, FILE_READ_ATTRIBUTES, follow_links)};
  if (file.handle == INVALID_HANDLE_VALUE) return last_error();
  return info_of_handle(file.handle, info);
}

int readable(const std::string& path) {
  // Windows' access checks (ACLs, privileges, sharing) are the open itself.
  std::wstring wide;
  if (const int error = system_path(path, wide)) return error;
  Closing file{open_handle(wide, GENERIC_READ, true)};
  return file.handle == INVALID_HANDLE_VALUE ? last_error() : 0;
}

int list_directory(const std::string& path, std::vector<DirectoryEntry>& entries) {
  entries.clear();
  std::wstring pattern;
  if (const int error = system_path(path, pattern)) return error;
  if (pattern.back() != L'\\') pattern.push_back(L'\\');
  pattern.push_back(L'*');
  WIN32_FIND_DATAW found;
  HANDLE listing = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                      FIND_FIRST_EX_LARGE_FETCH);
  if (listing == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    FileInfo info;
    if (file_info(path, true, info) == 0) {
      // A file where a directory was asked for (which systems report in
      // several ways), or a directory without even "." (a volume's root).
      if (info.kind != FileKind::Directory) return ENOTDIR;
      if (error == ERROR_FILE_NOT_FOUND) return 0;
    }
    return error_number(error);
  }
  int error = 0;
  do {
    const wchar_t* name = found.cFileName;
    if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0) continue;
    // dwReserved0 holds the reparse tag of a reparse point.
    entries.push_back({narrow(name, std::wcslen(name)), kind_of(found.dwFileAttributes, found.dwReserved0)});
  } while (::FindNextFileW(listing, &found));
  if (::GetLastError() != ERROR_NO_MORE_FILES) error = last_error();
  ::FindClose(listing);
  return error;
}

File::~File() {
  if (fd_ != kNone) ::CloseHandle(fd_);
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, kNone)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ != kNone) ::CloseHandle(fd_);
    fd_ = std::exchange(other.fd_, kNone);
  }
  return *this;
}

int File::open(const std::string& path, LastLink last_link, File& file, RetryInterrupted) {
  file = File();
  std::wstring wide;
  if (const int error = system_path(path, wide)) return error;
  const bool follow = last_link == LastLink::Follow;
  HANDLE handle = open_handle(wide, GENERIC_READ, follow);
  if (handle == INVALID_HANDLE_VALUE) return last_error();
  File opened(handle);
  if (!follow) {
    const int error = refuse_link(opened.fd_, [&](HANDLE& again) {
      again = open_handle(wide, GENERIC_READ, true);
      return again == INVALID_HANDLE_VALUE ? last_error() : 0;
    });
    if (error != 0) return error;
  }
  file = std::move(opened);
  return 0;
}

int File::open_in(const File& directory, const char* name, LastLink last_link, File& file, RetryInterrupted) {
  file = File();
  if (directory.fd_ == kNone) return EBADF;
  const bool follow = last_link == LastLink::Follow;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (const int error = open_relative(directory.fd_, name, kReadAccess, follow, handle)) return error;
  File opened(handle);
  if (!follow) {
    const int error = refuse_link(
        opened.fd_, [&](HANDLE& again) { return open_relative(directory.fd_, name, kReadAccess, true, again); });
    if (error != 0) return error;
  }
  file = std::move(opened);
  return 0;
}

int File::open_directory(const std::string& path, File& directory) {
  directory = File();
  std::wstring wide;
  if (const int error = system_path(path, wide)) return error;
  // Only for looking names up: traversal, not listing.
  HANDLE handle = ::CreateFileW(wide.c_str(), FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error();
  File opened(handle);
  DWORD attributes = 0, tag = 0;
  if (!attributes_of(handle, attributes, tag)) return last_error();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ENOTDIR;
  directory = std::move(opened);
  return 0;
}

int File::info(FileInfo& info) const { return info_of_handle(fd_, info); }

int File::info_of(const char* name, FileInfo& info) const {
  if (fd_ == kNone) return EBADF;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (const int error = open_relative(fd_, name, kAttributesAccess, false, handle)) return error;
  Closing file{handle};
  return info_of_handle(handle, info);
}

int File::read_to_end(Buffer& out, std::size_t expected_size, RetryInterrupted, std::uint64_t most) const {
  out.clear();
  // One spare byte lets the read that finds the end come in the same buffer.
  out.reserve(expected_size + 1);
  for (;;) {
    if (out.size() > most) return EFBIG;
    if (out.size() == out.capacity()) out.reserve(out.capacity() * 2);
    // ReadFile counts in 32 bits.
    const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(out.capacity() - out.size(), 1u << 30));
    const std::size_t before = out.size();
    out.resize(out.capacity());
    DWORD got = 0;
    const BOOL read = ::ReadFile(fd_, out.data() + before, asked, &got, nullptr);
    const DWORD error = read ? ERROR_SUCCESS : ::GetLastError();
    out.resize(before + got);
    if (!read) {
      // The end of a pipe's data, should one be read.
      if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return out.size() > most ? EFBIG : 0;
      return error_number(error);
    }
    // A file gives less than was asked for only at its end.
    if (got < asked) return out.size() > most ? EFBIG : 0;
  }
}

int read_whole_file(const std::string& path, Buffer& out, FileInfo& info, std::uint64_t most,
                    File::RetryInterrupted retry) {
  out.clear();
  File file;
  if (const int error = File::open(path, LastLink::Follow, file, retry)) return error;
  if (const int error = file.info(info)) return error;
  if (info.kind == FileKind::Directory) return EISDIR;
  if (info.kind != FileKind::Regular) return kNotRegularFile;
  if (info.identity.size > most) return EFBIG;
  const int error = file.read_to_end(out, static_cast<std::size_t>(info.identity.size), retry, most);
  if (error == EFBIG) info.identity.size = out.size();
  return error;
}

int read_link(const std::string& path, Buffer& out) {
  out.clear();
  std::wstring wide;
  if (const int error = system_path(path, wide)) return error;
  Closing file{open_handle(wide, FILE_READ_ATTRIBUTES, false)};
  if (file.handle == INVALID_HANDLE_VALUE) return last_error();
  // The reparse point's data, as the file system gives it: its sizes and
  // offsets are checked against what was returned before they are used.
  alignas(8) unsigned char data[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
  DWORD got = 0;
  if (!::DeviceIoControl(file.handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, data, sizeof data, &got, nullptr)) {
    return last_error();
  }
  auto field = [&](std::size_t at) {
    std::uint16_t value = 0;
    std::memcpy(&value, data + at, sizeof value);
    return value;
  };
  if (got < 8) return EINVAL;
  std::uint32_t tag = 0;
  std::memcpy(&tag, data, sizeof tag);
  // Both kinds start with the substitute name's offset and length (in bytes,
  // within the path buffer); a link's buffer has four bytes of flags first.
  std::size_t names = 0;
  if (tag == IO_REPARSE_TAG_SYMLINK) {
    names = 20;
  } else if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
    names = 16;
  } else {
    return EINVAL;
  }
  if (got < names) return EINVAL;
  const std::size_t offset = field(8), length = field(10);
  if (offset % sizeof(wchar_t) != 0 || length % sizeof(wchar_t) != 0 || offset + length > got - names) return EINVAL;
  std::wstring target(length / sizeof(wchar_t), L'\0');
  std::memcpy(target.data(), data + names + offset, length);
  // The NT form of a full path, \??\C:\... or \??\UNC\server\..., in its Win32 form.
  std::size_t start = 0;
  if (starts_with(target, L"\\??\\")) {
    start = 4;
    if (target.compare(4, 4, L"UNC\\") == 0) {
      start = 6;
      target[6] = L'\\';
    }
  }
  for (wchar_t& c : target) {
    if (c == L'\\') c = L'/';
  }
  const std::string text = narrow(target.data() + start, target.size() - start);
  out.assign(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return 0;
}

Mapping::~Mapping() {
  if (data_ != nullptr && size_ != 0) ::UnmapViewOfFile(data_);
}

std::unique_ptr<Mapping> Mapping::map(const std::string& path) {
  File file;
  if (File::open(path, LastLink::Follow, file) != 0) return nullptr;
  FileInfo info;
  if (file.info(info) != 0 || info.kind != FileKind::Regular) return nullptr;
  if (info.identity.size > std::numeric_limits<std::size_t>::max()) return nullptr;
  std::unique_ptr<Mapping> mapping(new Mapping());
  mapping->identity_ = info.identity;
  mapping->size_ = static_cast<std::size_t>(info.identity.size);
  // An empty file cannot be mapped; it needs no mapping either.
  if (mapping->size_ != 0) {
    // The section is sized by the file as it is now (which may have grown
    // since it was measured); the view covers what was measured.
    Closing section{::CreateFileMappingW(file.fd_, nullptr, PAGE_READONLY, 0, 0, nullptr)};
    if (section.handle == nullptr) {
      mapping->size_ = 0;
      return nullptr;
    }
    const void* data = ::MapViewOfFile(section.handle, FILE_MAP_READ, 0, 0, mapping->size_);
    if (data == nullptr) {
      mapping->size_ = 0;
      return nullptr;
    }
    mapping->data_ = static_cast<const std::uint8_t*>(data);
  }
  return mapping;
}

}  // namespace platform
