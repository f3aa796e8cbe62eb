// The one place where a compression method becomes a wavelet executor, so
// that the compressor and the decompressor can never build different ones.
//
//   Cdf53 "cf53"  make_cdf53_f32                      F = 6
//   Cdf97 "cf97"  make_cdf97_f32                      F = 10
//   Db4   "db04"  make_daubechies_f32(Db4, Wrap)      F = 8
//   Sym4  "sym4"  make_symlet_f32(Sym4, Wrap)         F = 8
#pragma once

#include "core/compression_options.hpp"
#include "wavelet/contract/factory.hpp"

namespace vantoresk {

tremora::DwtExecutorHandle make_executor(CompressionMethod method);

}  // namespace vantoresk
