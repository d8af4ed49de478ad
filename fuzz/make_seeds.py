#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_render into fuzz/corpus: a few small frames, one per main path (each bit depth
and pattern, post-processing, pass-through, out-of-range values, a failing host call). The byte layout follows
the order in which fuzz_render.cpp reads its input."""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def value(lo, hi, v):
    """A parameter given in range: mode byte below 224, then the position in [lo, hi] as 16 bits."""
    u = min(65535, math.ceil((v - lo) / (hi - lo) * 65535))
    return bytes([0]) + struct.pack('<H', u)


def raw(v):
    """A parameter given as any double: mode byte 224 or above, then its 8 bytes."""
    return bytes([255]) + struct.pack('<d', v)


def picture_grey(w, h, f):
    return bytes([w - 1, h - 1]) + bytes(f(x, y) & 255 for y in range(h) for x in range(w))


def picture_argb(w, h, f):
    out = bytearray([w - 1, h - 1])
    for y in range(h):
        for x in range(w):
            out += bytes(c & 255 for c in f(x, y))
    return bytes(out)


def frame(depth_bits, pattern, *, transform=1, kind=2, period=20, oversampling=2, post=0, blur=0.0, sharpen=0.0,
          contrast=50, depth_layer=True, texture_layer=True, raw_values=None, downsample=1, rect=None, fault=None):
    depth_choice = {8: 0, 16: 1, 32: 2}[depth_bits]
    out = bytearray([depth_choice, 20, (1 if depth_layer else 0) | (2 if texture_layer else 0)])
    out += picture_argb(40, 12, lambda x, y: (255, x * 5, y * 9, x + y))
    if depth_layer:
        out += picture_grey(40, 12, lambda x, y: 200 if 10 < x < 25 and 3 < y < 9 else 40)
    if texture_layer:
        out += picture_argb(9, 7, lambda x, y: (255, x * 27, y * 33, (x * y * 7) + 20))
    params = [
        value(0, 4, pattern), value(-10, 110, contrast), value(0, 3, transform), value(0, 3, kind),
        value(0, 420, period), value(-1, 12, oversampling), value(-1, 2, post), value(-1, 8, blur),
        value(-1, 8, sharpen),
    ]
    for index, v in (raw_values or {}).items():
        params[index] = raw(v)
    for p in params:
        out += p
    out += bytes([downsample - 1])
    if rect:
        out += bytes([1] + [c + 8 for c in rect])
    else:
        out += bytes([0])
    out += bytes([0, 1])  # whole frames, high quality
    if fault is None:
        out += bytes([255])
    else:
        out += bytes(fault)  # index into the fault list, then which call of it fails
    return bytes(out)


SEEDS = {
    'random_dots_8bit': frame(8, 1),
    'color_dots_16bit_post': frame(16, 2, post=1, blur=1.5, sharpen=2),
    'texture_cropped_32bit': frame(32, 3, kind=1),
    'texture_resized_8bit_post_half': frame(8, 3, transform=2, post=1, blur=1, sharpen=1, downsample=2),
    'pass_through_16bit': frame(16, 1, depth_layer=False),
    'nan_period_inf_blur_32bit': frame(32, 2, post=1, raw_values={4: float('nan'), 7: float('inf')}),
    'partial_rect_8bit': frame(8, 3, rect=(5, 2, 30, 10)),
    'failing_new_world_16bit': frame(16, 3, transform=2, post=1, sharpen=3, fault=(5, 2)),
}

if __name__ == '__main__':
    os.makedirs(os.path.join(HERE, 'corpus'), exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(HERE, 'corpus', name), 'wb') as f:
            f.write(data)
    print(f'{len(SEEDS)} seeds written')
