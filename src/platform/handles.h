#pragma once
// One owner template for every OS resource: the traits name the invalid value
// and the one release call, so no code path hand-writes a cleanup.
#include <windows.h>

#include <utility>

namespace ikx {

template <typename Traits>
class UniqueResource {
  public:
    using Type = typename Traits::Type;
    UniqueResource() = default;
    explicit UniqueResource(Type value) : value_(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Type get() const { return value_; }
    bool valid() const { return value_ != Traits::Invalid(); }
    explicit operator bool() const { return valid(); }
    Type release() { return std::exchange(value_, Traits::Invalid()); }
    // Keeps the thread's last error across the close, so a caller can report
    // the failure that made it let go of the resource.
    void reset(Type value = Traits::Invalid()) {
        if (valid()) {
            const DWORD error = ::GetLastError();
            Traits::Close(value_);
            ::SetLastError(error);
        }
        value_ = value;
    }
    // For out-parameters of APIs that create the resource.
    Type* put() {
        reset();
        return &value_;
    }

  private:
    Type value_ = Traits::Invalid();
};

struct KernelHandleTraits {  // processes, threads, mappings, events
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::CloseHandle(h); }
};
struct FileHandleTraits {  // CreateFile results, named pipes
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};
struct RegKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::RegCloseKey(h); }
};
struct ServiceHandleTraits {
    using Type = SC_HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::CloseServiceHandle(h); }
};
struct ModuleTraits {
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::FreeLibrary(h); }
};
struct ViewTraits {
    using Type = const void*;
    static Type Invalid() { return nullptr; }
    static void Close(Type p) { ::UnmapViewOfFile(p); }
};
struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::FindClose(h); }
};
struct LocalMemTraits {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::LocalFree(h); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueFile = UniqueResource<FileHandleTraits>;
using UniqueHkey = UniqueResource<RegKeyTraits>;
using UniqueScHandle = UniqueResource<ServiceHandleTraits>;
using UniqueModule = UniqueResource<ModuleTraits>;
using UniqueView = UniqueResource<ViewTraits>;
using UniqueFind = UniqueResource<FindHandleTraits>;
using UniqueLocal = UniqueResource<LocalMemTraits>;  // also security descriptors

}  // namespace ikx
