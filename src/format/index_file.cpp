#include "format/index_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/encode.h"
#include "engine/error_bound.h"
#include "engine/invariant.h"
#include "engine/packed_records.h"
#include "engine/page_array.h"
#include "engine/pool.h"
#include "format/crc32c.h"
#include "format/engine_fingerprint.h"

namespace velmora {

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "sections are written from memory as they are");

// Header fields by offset; the lists and the default probes of version 3.
constexpr std::size_t kVersionAt = 8, kDimAt = 16, kBitsAt = 24, kCountAt = 32, kFingerprintAt = 40, kListsAt = 48,
                      kProbesAt = 52, kHeaderCrcAt = 60;
constexpr std::size_t kChecksumBytes = 4;
// Codes move through a buffer of about this size, exported or checked block by block.
constexpr std::size_t kCodeChunkBytes = std::size_t{1} << 20;

template <class T>
void put(std::uint8_t* header, std::size_t at, T value) {
  std::memcpy(header + at, &value, sizeof value);
}

template <class T>
T get(const std::uint8_t* header, std::size_t at) {
  T value;
  std::memcpy(&value, header + at, sizeof value);
  return value;
}

std::size_t record_bytes(std::size_t dim, std::uint8_t bits) { return packed_len(dim, bits); }

// Vectors per code chunk: whole blocks, so that chunks never share a block.
std::size_t chunk_vectors(std::size_t record) {
  const std::size_t vectors = std::max<std::size_t>(kCodeChunkBytes / record, kBlockLanes);
  return vectors / kBlockLanes * kBlockLanes;
}

void write_section(ByteSink& sink, const void* data, std::size_t len) {
  sink.write(data, len);
  const std::uint32_t crc = crc32c(data, len);
  sink.write(&crc, sizeof crc);
}

void check_section(ByteSource& source, std::uint32_t crc, const char* name) {
  std::uint32_t stored;
  source.read(&stored, sizeof stored);
  if (stored != crc) {
    throw FormatError(std::string("checksum mismatch in the ") + name + " section (the file is corrupted)");
  }
}

std::string describe_id(std::uint64_t id) { return std::to_string(id); }

// The size of a file of version 1 (no error bounds), 2 or 3 (with `lists`
// lists of dim centroids) holding n records. False when it would not fit in
// 64 bits.
bool file_size(std::uint32_t version, std::uint64_t n, std::size_t record, std::uint64_t lists, std::uint64_t dim,
               std::uint64_t* size) {
  const std::uint64_t sections = version >= 3 ? 6 : version >= 2 ? 4 : 3;
  const std::uint64_t fixed = kIndexHeaderBytes + sections * kChecksumBytes;
  const std::uint64_t per_vector = 8 + 4 + record + (version >= 2 ? 2 : 0);
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  if (n > (max - fixed) / per_vector) return false;
  std::uint64_t total = fixed + n * per_vector;
  if (version >= 3) {
    const std::uint64_t per_list = 8 + 4 * dim;  // dim <= 65536 and lists < 2^32: no overflow
    if (lists * per_list > max - total) return false;
    total += lists * per_list;
  }
  *size = total;
  return true;
}

}  // namespace

std::uint64_t serialized_size(const CompressedVectorStore& store) {
  std::uint64_t size = 0;
  const ListLayout* lists = store.lists();
  VELMORA_CHECK(file_size(lists ? kIndexFormatVersion : kFlatIndexFormatVersion, store.size(),
                          record_bytes(store.dim(), store.bits()), lists ? lists->list_count() : 0, store.dim(), &size),
                "serialized_size: overflow");
  return size;
}

void write_index(const CompressedVectorStore& store, ByteSink& sink) {
  Result<std::uint64_t> fingerprint = engine_fingerprint(store.dim(), store.bits());
  VELMORA_CHECK(fingerprint.ok(), "write_index: a store exists for an unsupported dimension or bit width");
  const StoredEntries entries = store.stored_entries();
  const ListLayout* lists = store.lists();
  const std::size_t n = store.size();

  std::uint8_t header[kIndexHeaderBytes] = {};
  std::memcpy(header, kIndexMagic, sizeof kIndexMagic);
  put<std::uint32_t>(header, kVersionAt, lists ? kIndexFormatVersion : kFlatIndexFormatVersion);
  put<std::uint64_t>(header, kDimAt, store.dim());
  put<std::uint8_t>(header, kBitsAt, store.bits());
  put<std::uint64_t>(header, kCountAt, n);
  put<std::uint64_t>(header, kFingerprintAt, fingerprint.value());
  if (lists) {
    put<std::uint32_t>(header, kListsAt, static_cast<std::uint32_t>(lists->list_count()));
    put<std::uint32_t>(header, kProbesAt, lists->default_probes());
  }
  put<std::uint32_t>(header, kHeaderCrcAt, crc32c(header, kHeaderCrcAt));
  sink.write(header, sizeof header);

  // A store in lists is written in storage order, list after list, without its free lanes.
  const std::vector<std::size_t> positions = lists ? store.record_positions() : std::vector<std::size_t>();
  auto gathered = [&](const auto* values) {
    using T = std::remove_const_t<std::remove_pointer_t<decltype(values)>>;
    std::vector<T> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = values[positions[i]];
    return out;
  };
  if (lists) {
    write_section(sink, gathered(entries.ids).data(), n * sizeof(std::uint64_t));
    write_section(sink, gathered(entries.norms).data(), n * sizeof(float));
  } else {
    write_section(sink, entries.ids, n * sizeof(std::uint64_t));
    write_section(sink, entries.norms, n * sizeof(float));
  }

  const std::size_t record = record_bytes(store.dim(), store.bits());
  const std::size_t per_chunk = chunk_vectors(record);
  std::vector<std::uint8_t> buffer(std::min(n, per_chunk) * record);
  std::uint32_t crc = 0;
  for (std::size_t first = 0; first < n; first += per_chunk) {
    const std::size_t count = std::min(per_chunk, n - first);
    const std::size_t blocks = (count + kBlockLanes - 1) / kBlockLanes;
    parallel_for(blocks, [&](std::size_t b0, std::size_t b1) {
      const std::size_t begin = b0 * kBlockLanes, end = std::min(b1 * kBlockLanes, count);
      if (!lists) {
        entries.codes->export_packed(first + begin, end - begin, buffer.data() + begin * record);
        return;
      }
      for (std::size_t i = begin; i < end; ++i) {
        entries.codes->export_packed(positions[first + i], 1, buffer.data() + i * record);
      }
    });
    crc = crc32c_extend(crc, buffer.data(), count * record);
    sink.write(buffer.data(), count * record);
  }
  sink.write(&crc, sizeof crc);

  if (entries.error_bounds == nullptr) {
    const std::vector<std::uint16_t> unknown(n, kUnknownErrorBound);
    write_section(sink, unknown.data(), n * sizeof(std::uint16_t));
  } else if (lists) {
    write_section(sink, gathered(entries.error_bounds).data(), n * sizeof(std::uint16_t));
  } else {
    write_section(sink, entries.error_bounds, n * sizeof(std::uint16_t));
  }

  if (lists) {
    std::vector<std::uint64_t> sizes(lists->list_count());
    for (std::size_t l = 0; l < sizes.size(); ++l) sizes[l] = lists->list_size(static_cast<std::uint32_t>(l));
    write_section(sink, sizes.data(), sizes.size() * sizeof(std::uint64_t));
    write_section(sink, lists->centroids().data(), lists->centroids().size() * sizeof(float));
  }
}

CompressedVectorStore read_index(ByteSource& source) {
  const std::uint64_t size = source.size();
  if (size < kIndexHeaderBytes) {
    throw FormatError("truncated file: " + std::to_string(size) + " bytes, shorter than the " +
                      std::to_string(kIndexHeaderBytes) + "-byte header");
  }
  std::uint8_t header[kIndexHeaderBytes];
  source.read(header, sizeof header);
  if (std::memcmp(header, kIndexMagic, sizeof kIndexMagic) != 0) {
    throw FormatError("not a velmora index (wrong magic bytes)");
  }
  const std::uint32_t version = get<std::uint32_t>(header, kVersionAt);
  if (version > kIndexFormatVersion) {
    throw FormatError("format version " + std::to_string(version) + " is newer than this velmora reads (" +
                      std::to_string(kIndexFormatVersion) + "); upgrade velmora to load it");
  }
  if (version == 0) throw FormatError("invalid format version 0");
  if (get<std::uint32_t>(header, kHeaderCrcAt) != crc32c(header, kHeaderCrcAt)) {
    throw FormatError("checksum mismatch in the header (the file is corrupted)");
  }
  // Version 3 keeps its lists and default probes in bytes 48 to 55.
  const std::size_t reserved_from = version >= 3 ? kProbesAt + 4 : kListsAt;
  const bool reserved_zero =
      std::all_of(header + 12, header + kDimAt, [](std::uint8_t b) { return b == 0; }) &&
      std::all_of(header + kBitsAt + 1, header + kCountAt, [](std::uint8_t b) { return b == 0; }) &&
      std::all_of(header + reserved_from, header + kHeaderCrcAt, [](std::uint8_t b) { return b == 0; });
  if (!reserved_zero) throw FormatError("reserved header bytes are not zero");
  const std::uint32_t lists = version >= 3 ? get<std::uint32_t>(header, kListsAt) : 0;
  const std::uint32_t probes = version >= 3 ? get<std::uint32_t>(header, kProbesAt) : 0;
  const std::uint64_t dim = get<std::uint64_t>(header, kDimAt);
  const std::uint8_t bits = get<std::uint8_t>(header, kBitsAt);
  const std::uint64_t n = get<std::uint64_t>(header, kCountAt);
  if (bits < 2 || bits > 4) {
    throw FormatError("invalid bit width " + std::to_string(bits) + " (must be 2, 3 or 4)");
  }
  if (dim < 32 || dim > kMaxIndexDim) {
    throw FormatError("invalid dimension " + std::to_string(dim) + " (must be 32 to " + std::to_string(kMaxIndexDim) +
                      ")");
  }
  const std::size_t record = record_bytes(static_cast<std::size_t>(dim), bits);
  std::uint64_t expected_size = 0;
  if (version >= 3 && (lists < 1 || lists > n || probes < 1 || probes > lists)) {
    throw FormatError("invalid partitions: " + std::to_string(lists) + " lists with " + std::to_string(probes) +
                      " default probes for " + std::to_string(n) + " vectors");
  }
  if (!file_size(version, n, record, lists, dim, &expected_size) || expected_size != size) {
    throw FormatError("the header's count of " + std::to_string(n) + " vectors does not match the file's " +
                      std::to_string(size) + " bytes (truncated, extended or forged)");
  }
  Result<std::uint64_t> fingerprint = engine_fingerprint(dim, bits);
  if (!fingerprint) throw FormatError(fingerprint.error().message());
  if (fingerprint.value() != get<std::uint64_t>(header, kFingerprintAt)) {
    throw FormatError(
        "engine fingerprint mismatch: the codes were made with another rotation or codebook "
        "and cannot be scored by this velmora");
  }

  // n is now known to fit the source, so these allocations are backed by data.
  const std::size_t count = static_cast<std::size_t>(n);
  PageArray<std::uint64_t> ids;
  ids.resize_for_overwrite(count);
  source.read(ids.data(), count * sizeof(std::uint64_t));
  check_section(source, crc32c(ids.data(), count * sizeof(std::uint64_t)), "ids");

  PageArray<float> norms;
  norms.resize_for_overwrite(count);
  source.read(norms.data(), count * sizeof(float));
  check_section(source, crc32c(norms.data(), count * sizeof(float)), "norms");
  const PackedRecordCheck check(static_cast<std::size_t>(dim), bits);
  for (std::size_t p = 0; p < count; ++p) {
    if (!check.norm_valid(norms[p])) {
      throw FormatError("record " + std::to_string(p) + " (id " + describe_id(ids[p]) +
                        ") has a zero, negative or non-finite norm");
    }
  }

  BlockedCodes codes(static_cast<std::size_t>(dim), bits);
  codes.grow_for_overwrite(count);  // every position is assigned below
  const std::size_t per_chunk = chunk_vectors(record);
  std::vector<std::uint8_t> buffer(std::min(count, per_chunk) * record);
  std::uint32_t crc = 0;
  std::size_t first_spare = count;
  for (std::size_t first = 0; first < count; first += per_chunk) {
    const std::size_t chunk = std::min(per_chunk, count - first);
    source.read(buffer.data(), chunk * record);
    crc = crc32c_extend(crc, buffer.data(), chunk * record);
    if (first_spare == count) {
      for (std::size_t r = 0; r < chunk; ++r) {
        if (!check.spare_bits_clear(buffer.data() + r * record)) {
          first_spare = first + r;
          break;
        }
      }
    }
    const std::size_t blocks = (chunk + kBlockLanes - 1) / kBlockLanes;
    parallel_for(blocks, [&](std::size_t b0, std::size_t b1) {
      const std::size_t begin = b0 * kBlockLanes, end = std::min(b1 * kBlockLanes, chunk);
      codes.assign_packed(first + begin, end - begin, buffer.data() + begin * record);
    });
  }
  check_section(source, crc, "codes");
  if (first_spare != count) {
    throw FormatError("record " + std::to_string(first_spare) + " (id " + describe_id(ids[first_spare]) +
                      ") has nonzero spare bits after its codes");
  }

  PageArray<std::uint16_t> error_bounds;
  if (version >= 2) {
    error_bounds.resize_for_overwrite(count);
    source.read(error_bounds.data(), count * sizeof(std::uint16_t));
    check_section(source, crc32c(error_bounds.data(), count * sizeof(std::uint16_t)), "error bounds");
  } else {
    error_bounds.resize(count, kUnknownErrorBound);
  }

  std::vector<std::uint32_t> list_of;
  std::vector<float> centroids;
  if (version >= 3) {
    std::vector<std::uint64_t> sizes(lists);
    source.read(sizes.data(), sizes.size() * sizeof(std::uint64_t));
    check_section(source, crc32c(sizes.data(), sizes.size() * sizeof(std::uint64_t)), "list sizes");
    centroids.resize(static_cast<std::size_t>(lists) * dim);
    source.read(centroids.data(), centroids.size() * sizeof(float));
    check_section(source, crc32c(centroids.data(), centroids.size() * sizeof(float)), "centroids");
    std::uint64_t total = 0;
    for (std::uint64_t list_size : sizes) total += std::min(list_size, n + 1);
    if (total != n) {
      throw FormatError("the list sizes add up to " + std::to_string(total) + ", not the " + std::to_string(n) +
                        " vectors");
    }
    if (!std::all_of(centroids.begin(), centroids.end(), [](float c) { return std::isfinite(c); })) {
      throw FormatError("a centroid is not finite");
    }
    list_of.reserve(count);
    for (std::uint32_t l = 0; l < lists; ++l) list_of.insert(list_of.end(), sizes[l], l);
  }

  std::uint64_t repeated = 0;
  std::optional<CompressedVectorStore> store = CompressedVectorStore::from_arrays(
      std::move(ids), std::move(norms), std::move(codes), std::move(error_bounds), &repeated);
  if (!store) throw FormatError("id " + describe_id(repeated) + " appears more than once");
  if (version >= 3) store->arrange_in_lists(lists, std::move(centroids), list_of, probes);
  return std::move(*store);
}

}  // namespace velmora
