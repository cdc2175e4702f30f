#pragma once
// The one owner of a library bound at run time: the module and the table of
// entry points resolved from it, released together on every path.
//
// A table is a plain record of function pointers with a member
// `void Resolve(ExportLookup& find)` that looks each entry point up, in table
// order.
#include <windows.h>

#include <atomic>
#include <utility>

#include "platform/handles.h"

namespace ikx {

// Looks exports up by name; keeps the error of the first required lookup that
// fails, before later lookups can overwrite it.
class ExportLookup {
  public:
    explicit ExportLookup(HMODULE module) : module_(module) {}

    template <typename Fn>
    void operator()(Fn& entry, const char* name) {
        entry = Find<Fn>(name);
        if (entry || missing_) return;
        missing_ = true;
        error_ = ::GetLastError();
    }
    // Looked up for the table's sake only; its absence fails nothing.
    template <typename Fn>
    void Optional(Fn& entry, const char* name) {
        entry = Find<Fn>(name);
    }
    bool AllFound() const { return !missing_; }
    DWORD FirstError() const { return error_; }

  private:
    template <typename Fn>
    Fn Find(const char* name) const {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module_, name)));
    }

    HMODULE module_;
    bool missing_ = false;
    DWORD error_ = ERROR_SUCCESS;
};

template <typename Table>
class BoundLibrary {
  public:
    BoundLibrary() = default;
    ~BoundLibrary() { reset(); }
    BoundLibrary(const BoundLibrary&) = delete;
    BoundLibrary& operator=(const BoundLibrary&) = delete;
    BoundLibrary(BoundLibrary&& other) noexcept { TakeFrom(other); }
    BoundLibrary& operator=(BoundLibrary&& other) noexcept {
        if (this != &other) {
            reset();
            TakeFrom(other);
        }
        return *this;
    }

    // Takes `module` and resolves the table from it. On a missing entry point
    // the module is released and the thread's last error is that lookup's.
    bool Bind(UniqueModule module) {
        reset();
        if (!module) return false;
        ExportLookup find(module.get());
        Table table{};
        table.Resolve(find);
        if (!find.AllFound()) {
            ::SetLastError(find.FirstError());
            return false;  // the module's owner releases it and keeps that error
        }
        module_ = std::move(module);
        table_ = table;
        published_.store(&table_, std::memory_order_release);
        return true;
    }

    // The entry points, or null when unbound. Published last and withdrawn
    // first, so another thread that sees them sees them whole.
    const Table* get() const { return published_.load(std::memory_order_acquire); }
    const Table* operator->() const { return &table_; }
    bool bound() const { return get() != nullptr; }
    HMODULE module() const { return module_.get(); }

    // Clears the entry points, then releases the module.
    void reset() {
        published_.store(nullptr, std::memory_order_release);
        table_ = Table{};
        module_.reset();
    }
    // Clears the entry points and lets go of the module without releasing it.
    HMODULE release() {
        published_.store(nullptr, std::memory_order_release);
        table_ = Table{};
        return module_.release();
    }

  private:
    void TakeFrom(BoundLibrary& other) {
        if (!other.bound()) return;
        table_ = other.table_;
        module_.reset(other.release());
        published_.store(&table_, std::memory_order_release);
    }

    UniqueModule module_;
    Table table_{};
    std::atomic<const Table*> published_{nullptr};
};

}  // namespace ikx
