// The effect's owner of a world made by the host, and the first-error rule that every release follows.
#pragma once

#include "api/crt.h"
#include "api/effect_api.h"

// The first error of a sequence wins; a later step's or release's error counts only when nothing failed before.
inline void KeepFirstError(PF_Err *err, PF_Err next) {
    if (*err == PF_Err_NONE) *err = next;
}

// An 8-bit world the effect asked the host for, disposed when the owner goes, whatever path the command took.
// A description without pixels (never made, or its creation failed) is never disposed.
class HostWorld {
public:
    explicit HostWorld(PF_InData *in_data) : in_data_(in_data) { memset(&world_, 0, sizeof world_); }
    ~HostWorld() { Dispose(); }
    HostWorld(const HostWorld &) = delete;
    HostWorld &operator=(const HostWorld &) = delete;

    // A cleared world of that size; on failure the description stays empty and the host's error is returned.
    PF_Err Create(A_long width, A_long height) {
        Dispose();
        PF_InData *in_data = in_data_;
        const PF_Err err = PF_NEW_WORLD(width, height, PF_NewWorldFlag_CLEAR_PIXELS, &world_);
        if (err != PF_Err_NONE) memset(&world_, 0, sizeof world_);
        return err;
    }

    // For helpers that fill a description themselves (the depth conversions); they leave no pixel address on
    // failure, so a failed fill is never disposed.
    PF_EffectWorld *get() { return &world_; }
    bool made() const { return world_.data != nullptr; }

    // Gives the pixels back now; the host's error of the disposal, or none when there was nothing to dispose.
    PF_Err Dispose() {
        if (world_.data == nullptr) return PF_Err_NONE;
        PF_InData *in_data = in_data_;
        const PF_Err err = PF_DISPOSE_WORLD(&world_);
        memset(&world_, 0, sizeof world_);
        return err;
    }

private:
    PF_InData *in_data_;
    PF_EffectWorld world_;
};
