// Owners of the host resources one render takes: worlds made with the world callbacks and locked memory handles.
#pragma once

#include "api/crt.h"
#include "api/effect_api.h"
#include "api/suites.h"
#include "shell/suite_scoper.h"

#include <new>

// An 8-bit world the effect asked the host for. Disposed when the owner goes, whatever path the render took;
// a description without pixels (never made, or its creation failed) is never disposed.
class HostWorld {
public:
    explicit HostWorld(PF_InData *in_data) : in_data_(in_data) { memset(&world_, 0, sizeof world_); }
    ~HostWorld() { Release(); }
    HostWorld(const HostWorld &) = delete;
    HostWorld &operator=(const HostWorld &) = delete;

    // A cleared world of that size; on failure the description stays empty and the host's error is returned.
    PF_Err Create(A_long width, A_long height) {
        Release();
        PF_InData *in_data = in_data_;
        const PF_Err err = PF_NEW_WORLD(width, height, PF_NewWorldFlag_CLEAR_PIXELS, &world_);
        if (err != PF_Err_NONE) memset(&world_, 0, sizeof world_);
        return err;
    }

    // For helpers that fill a description themselves (the depth conversions); they leave no pixel address on
    // failure, so a failed fill is never disposed.
    PF_EffectWorld *get() { return &world_; }
    bool made() const { return world_.data != nullptr; }

    void Release() {
        if (world_.data == nullptr) return;
        PF_InData *in_data = in_data_;
        PF_DISPOSE_WORLD(&world_);  // nothing to do about a failed dispose here: the render has no result
        memset(&world_, 0, sizeof world_);
    }

private:
    PF_InData *in_data_;
    PF_EffectWorld world_;
};

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
