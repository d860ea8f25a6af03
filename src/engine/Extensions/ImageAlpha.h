// Cutouts and mask sidecars: an image's colour with a subject mask as its alpha channel, and the
// mask alone as an 8-bit linear grey image. Masks that are not 8-bit one-channel planes of the
// wanted size are brought to it with the Lanczos-3 resampler.
//
// Which mask value is read: the first colour component of each mask pixel (grey, or red for an
// RGB mask); an alpha or padding component placed first is skipped; an alpha-only mask gives its
// alpha. 16-bit masks follow their byte-order field, 32-bit float masks are read as 0–1. Mask
// values are coverage and are used linearly, whatever colour space the mask is tagged with.
//
// Contract: the functions keep no state and read their arguments only (but for the source that
// withMaskAsAlphaReleasingSource consumes), so any number may run at once; compositing spreads rows over the process-wide workers. The returned image owns a new
// pixel block. Every failure is an AlphaCompositionError; nothing is thrown.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Extensions/AlphaCompositionError.h"
#include "engine/Imaging/Image.h"

#include <cstddef>

namespace pelorin {

// The cutout: `source`'s size, depth (8 or 16 bits), colour space, interpolation flag and
// rendering intent; pixels red, green, blue, straight alpha, rows packed. Colour bytes are the
// source's, byte for byte (16-bit ones keep their byte order, which the bitmap info states: 0x3003
// for a 16-bit big-endian source, 0x1003 otherwise; 3 for 8 bits); alpha is the mask value m,
// stored as m or as the two bytes m, m.
Result<Image, AlphaCompositionError> withMaskAsAlpha(const Image& source, const Image& mask);

// The same cutout, byte for byte, from a source its caller gives up. When no other image shares
// the source's pixel block, the block's pages go back to the system as the rows behind them are
// composited, so a 12-MP source and its cutout (36 + 48 MB) never sit whole in memory together.
// The source's pixels are gone afterwards even when compositing fails.
Result<Image, AlphaCompositionError> withMaskAsAlphaReleasingSource(Image&& source, const Image& mask);

// The mask at width × height as an 8-bit linear grey image without alpha, rows packed.
// Fails with maskScalingFailed or outputAllocationFailed.
Result<Image, AlphaCompositionError> maskAsLinearGrayImage(const Image& mask, size_t width, size_t height);

} // namespace pelorin
