// Owners of the host resources one render takes besides its worlds: locked memory handles and suites held to the end.
#pragma once

#include "api/crt.h"
#include "api/effect_api.h"
#include "api/suites.h"
#include "render/host_world.h"
#include "shell/suite_scoper.h"

#include <new>

// A handle from the host's handle suite, locked for as long as it lives. The suite must outlive it.
class LockedHandle {
public:
    explicit LockedHandle(const PF_HandleSuite2 *suite) : suite_(suite) {}
    ~LockedHandle() {
        if (address_ != nullptr) suite_->host_unlock_handle(handle_);
        if (handle_ != nullptr) suite_->host_dispose_handle(handle_);
    }
    LockedHandle(const LockedHandle &) = delete;
    LockedHandle &operator=(const LockedHandle &) = delete;

    // False when the host has no memory for it or cannot lock it.
    bool Allocate(A_HandleSize bytes) {
        handle_ = suite_->host_new_handle(bytes);
        if (handle_ == nullptr) return false;
        address_ = suite_->host_lock_handle(handle_);
        return address_ != nullptr;
    }
    void *address() const { return address_; }

private:
    const PF_HandleSuite2 *suite_;
    PF_Handle handle_ = nullptr;
    void *address_ = nullptr;
};

// A suite acquired part-way through a call and held until this owner ends. Declared before the resources that
// are made before the suite is needed, it still outlives them, so the suite is given back after they are.
template <typename SUITE>
class LateSuite {
public:
    LateSuite() = default;
    ~LateSuite() {
        if (held_) scoper()->~AEFX_SuiteScoper<SUITE>();
    }
    LateSuite(const LateSuite &) = delete;
    LateSuite &operator=(const LateSuite &) = delete;

    // Acquires through the scoped acquisition, which throws its integer when the suite is missing; nothing is
    // held then.
    const SUITE *Acquire(const PF_InData *in_data, const char *name, int32_t version, PF_OutData *out_data) {
        if (held_) return scoper()->get();
        new (storage_) AEFX_SuiteScoper<SUITE>(in_data, name, version, out_data);
        held_ = true;
        return scoper()->get();
    }

private:
    AEFX_SuiteScoper<SUITE> *scoper() { return std::launder(reinterpret_cast<AEFX_SuiteScoper<SUITE> *>(storage_)); }

    alignas(AEFX_SuiteScoper<SUITE>) unsigned char storage_[sizeof(AEFX_SuiteScoper<SUITE>)];
    bool held_ = false;
};
