#pragma once
// Owner of one short-lived IPC binding: bound on construction, released on
// every way out of the scope that opened it, never released when the bind
// failed (a failed InitNIPC has already let go of what it loaded).
#include "hostagent/ipc.h"

namespace ikx {

class NipcChannel {
  public:
    NipcChannel() : bound_(InitNIPC(&object_)) {}
    // Bound later, by Bind(), once the caller reaches the step that needs it.
    struct Deferred {};
    explicit NipcChannel(Deferred) : bound_(false) {}
    ~NipcChannel() { Release(); }
    NipcChannel(const NipcChannel&) = delete;
    NipcChannel& operator=(const NipcChannel&) = delete;

    bool Bind() {
        if (!bound_) bound_ = InitNIPC(&object_);
        return bound_;
    }
    bool Bound() const { return bound_; }
    NipcObject* get() { return &object_; }
    // Releases ahead of the scope's end, for callers that log after it.
    void Release() {
        if (bound_) DeInitNIPC(&object_);
        bound_ = false;
    }

  private:
    NipcObject object_;
    bool bound_;
};

}  // namespace ikx
