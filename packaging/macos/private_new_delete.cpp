// The global allocation functions, private to the module.
//
// zig links its C++ runtime into the module, and that runtime defines the
// replaceable operator new and delete with default visibility: a macOS image
// then exports them as weak definitions, which dyld coalesces with those of
// every other image in the process. zig's linker ignores an exported symbols
// list, so the module defines them itself, and the toolchain compiles them
// hidden (-fvisibility-global-new-delete=force-hidden): the runtime's weak
// definitions give way to these, and none of them leaves the module. They
// behave as the runtime's do: a zero-byte request gets a distinct pointer, a
// failed allocation calls the new-handler until it gives up, then throws
// std::bad_alloc (or returns null for the nothrow forms).
#include <cstdlib>
#include <new>

namespace {

void* allocate(std::size_t size) {
  if (size == 0) {
    size = 1;
  }
  for (;;) {
    if (void* block = std::malloc(size)) {
      return block;
    }
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) {
      throw std::bad_alloc();
    }
    handler();
  }
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
  std::size_t align = static_cast<std::size_t>(alignment);
  if (align < sizeof(void*)) {
    align = sizeof(void*);
  }
  if (size == 0) {
    size = 1;
  }
  for (;;) {
    void* block = nullptr;
    if (posix_memalign(&block, align, size) == 0) {
      return block;
    }
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) {
      throw std::bad_alloc();
    }
    handler();
  }
}

template <typename Allocate, typename... Args>
void* allocate_or_null(Allocate allocate_with, Args... args) noexcept {
  try {
    return allocate_with(args...);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocate_aligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocate_aligned(size, alignment); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_null(allocate, size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_or_null(allocate, size); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate_or_null(allocate_aligned, size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate_or_null(allocate_aligned, size, alignment);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { std::free(block); }
