// The host calls the effect makes outside the frame loop: world callbacks, string formatting, the basic suite and
// the handle, world, AEGP world, ANSI, world transform and param utils suites. Each is logged with its result
// and can be made to fail by a fault.
#include "host/host_impl.h"
#include "host/image_ops.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vbhost {

namespace {

// Pixel bytes of worlds the effect did not ask to have cleared, and of row padding: recognisable garbage, so
// that code reading either shows up in a picture or a test.
constexpr unsigned char kUnclearedByte = 0xCD;
constexpr unsigned char kPaddingByte = 0xA5;
// Larger handle requests than this count as memory being short (and keep sanitizers from aborting on them).
constexpr A_HandleSize kMaxHandleBytes = A_HandleSize(1) << 32;

bool opMatches(const std::string &rule, const std::string &op) {
    if (rule == op) return true;
    // A rule naming just "AcquireSuite" or "ReleaseSuite" applies to every suite.
    return op.size() > rule.size() && op.compare(0, rule.size(), rule) == 0 && op[rule.size()] == ':';
}

}  // namespace

// ---------------------------------------------------------------- call log and faults

PF_Err Host::Impl::Fire(const std::string &op) {
    std::lock_guard<std::mutex> lock(mu);
    PF_Err err = PF_Err_NONE;
    for (FaultState &f : faults) {
        if (f.fired || !opMatches(f.fault.op, op)) continue;
        if (++f.seen == f.fault.nth) {
            f.fired = true;
            if (err == PF_Err_NONE) err = f.fault.err;
        }
    }
    return err;
}

void Host::Impl::Log(const std::string &op, PF_Err result) {
    std::lock_guard<std::mutex> lock(mu);
    calls.push_back(CallRecord{op, result});
}

CallContext *Host::Impl::Context(PF_ProgPtr effect_ref) {
    std::lock_guard<std::mutex> lock(mu);
    auto *ctx = static_cast<CallContext *>(effect_ref);
    if (ctx == nullptr || live_contexts.count(ctx) == 0) return nullptr;
    return ctx;
}

// ---------------------------------------------------------------- worlds

WorldRec *Host::Impl::NewWorldLocked(int width, int height, Depth depth, WorldOwner owner, WorldFill fill,
                                     PF_Err *err) {
    *err = PF_Err_NONE;
    if (width <= 0 || height <= 0 || width > PF_MAX_WORLD_DIMENSION || height > PF_MAX_WORLD_DIMENSION) {
        *err = PF_Err_BAD_CALLBACK_PARAM;
        return nullptr;
    }
    // Padding is kept a multiple of 4 so that float channels stay aligned.
    const int padding = opts.row_padding_bytes > 0 ? (opts.row_padding_bytes + 3) / 4 * 4 : 0;
    const std::size_t row_pixels = std::size_t(width) * PixelSize(depth);
    const std::size_t rowbytes = row_pixels + std::size_t(padding);
    const std::size_t bytes = rowbytes * std::size_t(height);
    auto rec = std::make_unique<WorldRec>();
    rec->memory.reset(new (std::nothrow) unsigned char[bytes]);
    if (!rec->memory) {
        *err = PF_Err_OUT_OF_MEMORY;
        return nullptr;
    }
    // Every byte is written once: the pixels as asked, the padding with its own pattern.
    for (int y = 0; y < height; ++y) {
        unsigned char *row = rec->memory.get() + std::size_t(y) * rowbytes;
        if (fill != WorldFill::kNone) std::memset(row, fill == WorldFill::kZero ? 0 : kUnclearedByte, row_pixels);
        std::memset(row + row_pixels, kPaddingByte, rowbytes - row_pixels);
    }
    rec->depth = depth;
    rec->owner = owner;
    PF_EffectWorld &d = rec->desc;
    d.world_flags = PF_WorldFlag_WRITEABLE | (depth == Depth::k8 ? 0 : PF_WorldFlag_DEEP);
    d.data = rec->memory.get();
    d.rowbytes = A_long(rowbytes);
    d.width = width;
    d.height = height;
    d.extent_hint = PF_LRect{0, 0, width, height};
    d.pix_aspect_ratio = PF_RationalScale{1, 1};
    WorldRec *out = rec.get();
    worlds[d.data] = std::move(rec);
    return out;
}

namespace {

bool paddingIntact(const WorldRec &rec) {
    const PF_EffectWorld &d = rec.desc;
    const std::size_t used = std::size_t(d.width) * PixelSize(rec.depth);
    for (int y = 0; y < d.height; ++y) {
        const unsigned char *row = static_cast<const unsigned char *>(d.data) + std::size_t(y) * d.rowbytes;
        for (std::size_t i = used; i < std::size_t(d.rowbytes); ++i)
            if (row[i] != kPaddingByte) return false;
    }
    return true;
}

// True when a lent world's pixels are still those it was filled from.
bool lentPixelsIntact(const WorldRec &rec) {
    const PF_EffectWorld &d = rec.desc;
    const std::size_t used = rec.lent->row_bytes();
    const unsigned char *lent = rec.lent->bytes.get();
    for (int y = 0; y < d.height; ++y) {
        const unsigned char *row = static_cast<const unsigned char *>(d.data) + std::size_t(y) * d.rowbytes;
        if (lent != nullptr) {
            if (std::memcmp(row, lent + used * std::size_t(y), used) != 0) return false;
        } else {
            for (std::size_t i = 0; i < used; ++i)
                if (row[i] != 0) return false;
        }
    }
    return true;
}

}  // namespace

void Host::Impl::FreeWorldLocked(const void *data) {
    auto it = worlds.find(data);
    if (it == worlds.end()) return;
    const WorldRec &rec = *it->second;
    if (!paddingIntact(rec) || (rec.lent && !lentPixelsIntact(rec))) ++damaged_worlds;
    worlds.erase(it);
}

bool Host::Impl::DepthOfLocked(const void *data, Depth *depth) const {
    auto it = worlds.find(data);
    if (it == worlds.end()) return false;
    *depth = it->second->depth;
    return true;
}

bool Host::Impl::ValidWorldLocked(const PF_EffectWorld *world, Depth *depth) const {
    if (world == nullptr || world->data == nullptr) return false;
    auto it = worlds.find(world->data);
    if (it == worlds.end()) return false;
    const PF_EffectWorld &own = it->second->desc;
    if (world->width < 0 || world->height < 0 || world->width > own.width || world->height > own.height ||
        world->rowbytes != own.rowbytes)
        return false;
    *depth = it->second->depth;
    return true;
}

WorldRec *Host::Impl::WorldFromImageLocked(const Image &image) {
    PF_Err err = PF_Err_NONE;
    WorldRec *rec = NewWorldLocked(image.width, image.height, image.depth, WorldOwner::kHost, WorldFill::kNone, &err);
    if (rec) WritePixels(rec->desc, rec->depth, image);
    return rec;
}

WorldRec *Host::Impl::LentWorldLocked(const std::shared_ptr<const LayerPixels> &pixels) {
    PF_Err err = PF_Err_NONE;
    WorldRec *rec =
        NewWorldLocked(pixels->width, pixels->height, pixels->depth, WorldOwner::kHost, WorldFill::kNone, &err);
    if (rec) {
        const std::size_t used = pixels->row_bytes();
        const unsigned char *from = pixels->bytes.get();
        for (int y = 0; y < pixels->height; ++y) {
            unsigned char *row = static_cast<unsigned char *>(rec->desc.data) + std::size_t(y) * rec->desc.rowbytes;
            if (from != nullptr) std::memcpy(row, from + used * std::size_t(y), used);
            else std::memset(row, 0, used);
        }
        rec->lent = pixels;
    }
    return rec;
}

PF_Err Host::Impl::NewWorld(PF_ProgPtr ref, A_long w, A_long h, PF_NewWorldFlags flags, PF_EffectWorld *world) {
    PF_Err err = Fire("new_world");
    if (!err && (Context(ref) == nullptr || world == nullptr)) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        WorldRec *rec = NewWorldLocked(w, h, Depth::k8, WorldOwner::kPluginNewWorld,
                                       (flags & PF_NewWorldFlag_CLEAR_PIXELS) ? WorldFill::kZero : WorldFill::kGarbage,
                                       &err);
        if (rec) *world = rec->desc;
    }
    Log("new_world", err);
    return err;
}

PF_Err Host::Impl::DisposeWorld(PF_ProgPtr ref, PF_EffectWorld *world) {
    PF_Err err = Fire("dispose_world");
    if (!err && (Context(ref) == nullptr || world == nullptr || world->data == nullptr))
        err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = worlds.find(world->data);
        // Only worlds the effect made itself are its to dispose of; a second dispose finds nothing.
        if (it == worlds.end() || it->second->owner != WorldOwner::kPluginNewWorld)
            err = PF_Err_BAD_CALLBACK_PARAM;
        else
            FreeWorldLocked(world->data);
    }
    Log("dispose_world", err);
    return err;
}

PF_Err Host::Impl::Copy(PF_ProgPtr ref, PF_EffectWorld *src, PF_EffectWorld *dst, PF_Rect *src_r, PF_Rect *dst_r) {
    PF_Err err = Fire("copy");
    Depth sd = Depth::k8, dd = Depth::k8;
    if (!err && Context(ref) == nullptr) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        if (!ValidWorldLocked(src, &sd) || !ValidWorldLocked(dst, &dd)) err = PF_Err_BAD_CALLBACK_PARAM;
    }
    if (!err) err = CopyPixels(*src, sd, src_r, *dst, dd, dst_r);
    Log("copy", err);
    return err;
}

PF_Err Host::Impl::TransformWorld(PF_ProgPtr ref, PF_Quality quality, PF_ModeFlags, PF_Field,
                                  const PF_EffectWorld *src, const PF_CompositeMode *, const PF_MaskWorld *,
                                  const PF_FloatMatrix *matrices, A_long num_matrices, PF_Boolean src2dst,
                                  const PF_Rect *dest_rect, PF_EffectWorld *dst) {
    PF_Err err = Fire("transform_world");
    Depth sd = Depth::k8, dd = Depth::k8;
    if (!err && (Context(ref) == nullptr || matrices == nullptr || num_matrices < 1)) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        if (!ValidWorldLocked(src, &sd) || !ValidWorldLocked(dst, &dd)) err = PF_Err_BAD_CALLBACK_PARAM;
    }
    // Motion blur over several matrices is not offered: the first matrix is the transform.
    if (!err) err = ::vbhost::TransformWorld(*src, sd, matrices[0], src2dst != 0, dest_rect, *dst, dd, quality);
    Log("transform_world", err);
    return err;
}

A_long Host::Impl::VSprintf(A_char *dst, const A_char *fmt, va_list ap) {
    PF_Err err = Fire("sprintf");
    A_long written = 0;
    if (!err && (dst == nullptr || fmt == nullptr)) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        // The effect formats into message buffers of PF_MAX_EFFECT_MSG_LEN + 1 bytes: never write beyond them.
        const int n = std::vsnprintf(dst, PF_MAX_EFFECT_MSG_LEN + 1, fmt, ap);
        if (n < 0)
            err = PF_Err_BAD_CALLBACK_PARAM;
        else
            written = std::min<A_long>(n, PF_MAX_EFFECT_MSG_LEN);
    }
    Log("sprintf", err);
    return written;
}

A_char *Host::Impl::Strcpy(A_char *dst, const A_char *src) {
    PF_Err err = Fire("strcpy");
    if (!err && (dst == nullptr || src == nullptr)) err = PF_Err_BAD_CALLBACK_PARAM;
    A_char *result = nullptr;
    if (!err) result = std::strcpy(dst, src);
    Log("strcpy", err);
    return result;
}

// ---------------------------------------------------------------- basic suite

SPErr Host::Impl::AcquireSuite(const char *name, int32_t version, const void **suite) {
    const std::string sname = name ? name : "";
    const std::string op = "AcquireSuite:" + sname;
    PF_Err err = Fire(op);
    if (suite) *suite = nullptr;
    if (!err && (name == nullptr || suite == nullptr)) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        const void *table = nullptr;
        if (missing_suites.count(sname) == 0) {
            if (sname == kPFHandleSuite && version == kPFHandleSuiteVersion2) table = &tables.handle;
            else if (sname == kPFWorldSuite && version == kPFWorldSuiteVersion2) table = &tables.world;
            else if (sname == kAEGPWorldSuite && version == kAEGPWorldSuiteVersion3) table = &tables.aegp;
            else if (sname == kPFANSISuite && version == kPFANSISuiteVersion1) table = &tables.ansi;
            else if (sname == kPFWorldTransformSuite && version == kPFWorldTransformSuiteVersion1)
                table = &tables.transform;
            else if (sname == kPFParamUtilsSuite && version == kPFParamUtilsSuiteVersion3) table = &tables.param_utils;
        }
        if (table == nullptr) {
            err = A_Err_MISSING_SUITE;
        } else {
            *suite = table;
            suites_held.insert(sname);
        }
    }
    Log(op, err);
    return err;
}

SPErr Host::Impl::ReleaseSuite(const char *name, int32_t) {
    const std::string sname = name ? name : "";
    const std::string op = "ReleaseSuite:" + sname;
    PF_Err err = Fire(op);
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = suites_held.find(sname);
        if (it == suites_held.end())
            err = PF_Err_BAD_CALLBACK_PARAM;  // released more often than acquired
        else
            suites_held.erase(it);
    }
    Log(op, err);
    return err;
}

// ---------------------------------------------------------------- handle suite

PF_Handle Host::Impl::NewHandle(A_HandleSize size) {
    PF_Err err = Fire("host_new_handle");
    PF_Handle handle = nullptr;
    if (!err && size > kMaxHandleBytes) err = PF_Err_OUT_OF_MEMORY;
    if (!err) {
        auto rec = std::make_unique<HandleRec>();
        const std::size_t bytes = size > 0 ? std::size_t(size) : 1;
        rec->memory.reset(new (std::nothrow) unsigned char[bytes]);
        if (!rec->memory) {
            err = PF_Err_OUT_OF_MEMORY;
        } else {
            // Not cleared, as a real host's handles are not: garbage shows up where code relies on zeros.
            std::memset(rec->memory.get(), kUnclearedByte, bytes);
            rec->master = rec->memory.get();
            rec->size = size;
            handle = &rec->master;
            std::lock_guard<std::mutex> lock(mu);
            handles[handle] = std::move(rec);
        }
    }
    Log("host_new_handle", err);
    return handle;
}

void *Host::Impl::LockHandle(PF_Handle h) {
    PF_Err err = Fire("host_lock_handle");
    void *address = nullptr;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = handles.find(h);
        if (it == handles.end()) {
            err = PF_Err_BAD_CALLBACK_PARAM;
        } else {
            ++it->second->locks;
            address = it->second->master;
        }
    }
    Log("host_lock_handle", err);
    return address;
}

void Host::Impl::UnlockHandle(PF_Handle h) {
    PF_Err err = Fire("host_unlock_handle");
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = handles.find(h);
        if (it == handles.end() || it->second->locks == 0)
            err = PF_Err_BAD_CALLBACK_PARAM;
        else
            --it->second->locks;
    }
    Log("host_unlock_handle", err);
}

void Host::Impl::DisposeHandle(PF_Handle h) {
    PF_Err err = Fire("host_dispose_handle");
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = handles.find(h);
        if (it == handles.end())
            err = PF_Err_BAD_CALLBACK_PARAM;  // null, foreign, or already disposed
        else
            handles.erase(it);
    }
    Log("host_dispose_handle", err);
}

// ---------------------------------------------------------------- world suite

PF_Err Host::Impl::GetPixelFormat(const PF_EffectWorld *world, PF_PixelFormat *format) {
    PF_Err err = Fire("PF_GetPixelFormat");
    if (!err && (world == nullptr || format == nullptr || world->data == nullptr)) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        Depth d = Depth::k8;
        if (DepthOfLocked(world->data, &d))
            *format = FormatOf(d);
        else
            err = PF_Err_BAD_CALLBACK_PARAM;
    }
    Log("PF_GetPixelFormat", err);
    return err;
}

// ---------------------------------------------------------------- AEGP world suite

namespace {
// The AEGP world handle the host gives out is the address of its pixels' record.
AEGP_WorldH toHandle(WorldRec *rec) { return reinterpret_cast<AEGP_WorldH>(rec); }
}  // namespace

A_Err Host::Impl::AegpNew(AEGP_PluginID, AEGP_WorldType type, A_long w, A_long h, AEGP_WorldH *world) {
    PF_Err err = Fire("AEGP_New");
    Depth depth = Depth::k8;
    if (!err) {
        if (type == AEGP_WorldType_8) depth = Depth::k8;
        else if (type == AEGP_WorldType_16) depth = Depth::k16;
        else if (type == AEGP_WorldType_32) depth = Depth::k32;
        else err = PF_Err_BAD_CALLBACK_PARAM;
    }
    if (!err && world == nullptr) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        WorldRec *rec = NewWorldLocked(w, h, depth, WorldOwner::kPluginAegp, WorldFill::kGarbage, &err);
        if (rec) {
            aegp_worlds[toHandle(rec)] = rec->desc.data;
            *world = toHandle(rec);
        }
    }
    Log("AEGP_New", err);
    return err;
}

A_Err Host::Impl::AegpDispose(AEGP_WorldH world) {
    PF_Err err = Fire("AEGP_Dispose");
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = aegp_worlds.find(world);
        if (it == aegp_worlds.end()) {
            err = PF_Err_BAD_CALLBACK_PARAM;
        } else {
            FreeWorldLocked(it->second);
            aegp_worlds.erase(it);
        }
    }
    Log("AEGP_Dispose", err);
    return err;
}

A_Err Host::Impl::AegpGetRowBytes(AEGP_WorldH world, A_u_long *row_bytes) {
    PF_Err err = Fire("AEGP_GetRowBytes");
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = aegp_worlds.find(world);
        if (it == aegp_worlds.end() || row_bytes == nullptr)
            err = PF_Err_BAD_CALLBACK_PARAM;
        else
            *row_bytes = A_u_long(worlds.at(it->second)->desc.rowbytes);
    }
    Log("AEGP_GetRowBytes", err);
    return err;
}

A_Err Host::Impl::AegpGetBaseAddr8(AEGP_WorldH world, PF_Pixel8 **base) {
    PF_Err err = Fire("AEGP_GetBaseAddr8");
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = aegp_worlds.find(world);
        if (it == aegp_worlds.end() || base == nullptr || worlds.at(it->second)->depth != Depth::k8)
            err = PF_Err_BAD_CALLBACK_PARAM;
        else
            *base = static_cast<PF_Pixel8 *>(it->second);
    }
    Log("AEGP_GetBaseAddr8", err);
    return err;
}

A_Err Host::Impl::AegpFillOut(AEGP_WorldH world, PF_EffectWorld *pf_world) {
    PF_Err err = Fire("AEGP_FillOutPFEffectWorld");
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = aegp_worlds.find(world);
        if (it == aegp_worlds.end() || pf_world == nullptr)
            err = PF_Err_BAD_CALLBACK_PARAM;
        else
            *pf_world = worlds.at(it->second)->desc;
    }
    Log("AEGP_FillOutPFEffectWorld", err);
    return err;
}

A_Err Host::Impl::AegpFastBlur(A_FpLong radius, PF_ModeFlags, PF_Quality, AEGP_WorldH world) {
    PF_Err err = Fire("AEGP_FastBlur");
    PF_EffectWorld desc{};
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = aegp_worlds.find(world);
        if (it == aegp_worlds.end() || worlds.at(it->second)->depth != Depth::k8)
            err = PF_Err_BAD_CALLBACK_PARAM;
        else
            desc = worlds.at(it->second)->desc;
    }
    if (!err) FastBlur8(desc, radius);
    Log("AEGP_FastBlur", err);
    return err;
}

// ---------------------------------------------------------------- ANSI, transform and param utils suites

A_FpLong Host::Impl::Ceil(A_FpLong x) {
    PF_Err err = Fire("ceil");
    // A failing ceil has no error to give: it leaves its argument as it was.
    const A_FpLong r = err ? x : std::ceil(x);
    Log("ceil", err);
    return r;
}

PF_Err Host::Impl::Convolve(PF_ProgPtr ref, PF_EffectWorld *src, const PF_LRect *area, PF_KernelFlags flags,
                            A_long kernel_size, void *a, void *r, void *g, void *b, PF_EffectWorld *dst) {
    PF_Err err = Fire("convolve");
    Depth sd = Depth::k8, dd = Depth::k8;
    if (!err && (Context(ref) == nullptr || area == nullptr || !a || !r || !g || !b)) err = PF_Err_BAD_CALLBACK_PARAM;
    // Only the plain integer convolution is offered; other kernel options would be silently wrong.
    if (!err && flags != PF_KernelFlag_NONE) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        if (!ValidWorldLocked(src, &sd) || !ValidWorldLocked(dst, &dd) || sd != dd) err = PF_Err_BAD_CALLBACK_PARAM;
    }
    if (!err) {
        // A convolution in place reads pixels it has already written: work from a copy of the source then.
        std::vector<unsigned char> copy;
        PF_EffectWorld from = *src;
        if (src->data == dst->data) {
            copy.assign(static_cast<unsigned char *>(src->data),
                        static_cast<unsigned char *>(src->data) + std::size_t(src->rowbytes) * src->height);
            from.data = copy.data();
        }
        err = ::vbhost::Convolve(from, sd, *area, kernel_size, static_cast<const A_long *>(a),
                                 static_cast<const A_long *>(r), static_cast<const A_long *>(g),
                                 static_cast<const A_long *>(b), *dst);
    }
    Log("convolve", err);
    return err;
}

PF_Err Host::Impl::UpdateParamUI(PF_ProgPtr ref, PF_ParamIndex index, const PF_ParamDef *def) {
    PF_Err err = Fire("PF_UpdateParamUI");
    if (!err && (Context(ref) == nullptr || def == nullptr)) err = PF_Err_BAD_CALLBACK_PARAM;
    if (!err) {
        std::lock_guard<std::mutex> lock(mu);
        if (index < 0 || std::size_t(index) >= defs.size()) {
            err = PF_Err_INVALID_INDEX;
        } else {
            ui_updates.push_back(Host::UiUpdate{index, *def});
            defs[std::size_t(index)].ui_flags = def->ui_flags;
        }
    }
    Log("PF_UpdateParamUI", err);
    return err;
}

}  // namespace vbhost
