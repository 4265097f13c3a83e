// The kernel families chosen at run time (registry.h): each family's entries,
// portable kernel, self-test and timing, and its choice at each level.
#pragma once

#include <vector>

#include "kernels/kernels.h"
#include "kernels/registry.h"
#include "kernels/simd.h"

namespace velmora {
namespace kernels {

// What a bound pass is chosen for: one query (CompressedVectorStore::query),
// or groups of queries sharing each pass (Index.search).
enum class BoundUse { OneQuery, Group };

// The families. The exact kernels and bound passes are checked on blocks of
// a dimension with a partial last pair or group, and timed on 256 KiB of
// codes at dimension 128 evicted from the caches, as a scan of a large store
// finds them; the rotation, the quantiser and the CRC-32C on small data with
// partial tails, timed on a few KiB.
Family<ExactKernel> exact_family(int bits);
Family<BoundKernel> bound_family(BoundUse use);
Family<RotationKernels> rotation_family();
Family<QuantizeFn> quantizer_family();
Family<Crc32cFn> crc32c_family();

// Each family's choice at a level, made on first use. bits is 2, 3 or 4.
const Choice<ExactKernel>& exact_choice(SimdLevel level, int bits);
// The bound passes do not depend on the bit width (a block's fields are
// nibbles at every width).
const Choice<BoundKernel>& bound_choice(SimdLevel level, BoundUse use);
const Choice<RotationKernels>& rotation_choice(SimdLevel level);
const Choice<QuantizeFn>& quantizer_choice(SimdLevel level);
const Choice<Crc32cFn>& crc32c_choice(SimdLevel level);

// The kernels a query of one bit width uses at one level: the exact kernel,
// the bound pass for one query and the bound pass for groups of queries. All
// are empty at the reference level, which scores entry by entry and never
// prunes.
struct ScoringKernels {
  ExactKernel exact;
  BoundKernel bound;
  BoundKernel group_bound;
};
const ScoringKernels& scoring_kernels(SimdLevel level, int bits);

// The report of every family at a level, choosing those not chosen yet: the
// exact kernels for 2, 3 and 4 bits, the bound passes for one query and for
// groups, the rotation, the quantiser and the CRC-32C.
std::vector<FamilyReport> family_reports(SimdLevel level);

}  // namespace kernels
}  // namespace velmora
