// The extension module _index_core: the native half of velmora.Index. Its
// class IndexCore holds one CompressedVectorStore and takes array arguments
// through the buffer protocol; the Python class velmora.Index checks and
// converts what users pass and wraps the results as numpy arrays.
//
// Each call first exports every argument's buffer (which may run Python
// code), then borrows the index (shared to read, exclusive to change it) and
// copies what it needs while holding the interpreter lock, and only then
// releases the lock for the long work: encoding, scanning, saving, loading.
// The borrow flag is only touched with the lock held, so a call from another
// thread that conflicts with a running one is refused with RuntimeError
// instead of waiting or corrupting the index.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/batch_encode.h"
#include "engine/batch_search.h"
#include "engine/codebook.h"
#include "engine/encode.h"
#include "engine/error_bound.h"
#include "engine/exact_search.h"
#include "engine/invariant.h"
#include "engine/packed_records.h"
#include "engine/partition.h"
#include "engine/pool.h"
#include "engine/reconstruct.h"
#include "engine/rotation.h"
#include "engine/store.h"
#include "format/atomic_file.h"
#include "format/byte_io.h"
#include "format/index_file.h"
#include "python/array_args.h"
#include "python/binding_errors.h"
#include "python/config_binding.h"
#include "python/convert.h"
#include "python/gil_release.h"
#include "python/store_object.h"

namespace velmora {
namespace {

constexpr const char* kModuleDoc = "The native half of velmora.Index (use velmora.Index).";
constexpr const char* kBusyMessage =
    "Index is in use by another call; add, remove and import_records need it to themselves";
constexpr const char* kChangingMessage = "Index is being changed by another call (add, remove or import_records)";

PyObject* g_index_type = nullptr;
ModuleOnce g_module_once;

PyObject* index_type() { return g_index_type; }

const StoreType kIndexType = {"IndexCore", index_type, {kBusyMessage, kChangingMessage}};

// A claim on one index for the duration of a call.
class Borrow : public StoreBorrow {
 public:
  Borrow(PyObject* self, Access access) : StoreBorrow(self, access, kIndexType) {}
};

// Raises the OSError (or subclass) of a failed system call on `path`. When
// only flushing the directory failed, the message says that the new file is
// nevertheless in place.
void raise_system_error(const SystemCallError& error, PyObject* path) {
  if (dynamic_cast<const DirectorySyncError*>(&error) == nullptr) {
    errno = error.error_number();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return;
  }
  PyRef exception(
      PyObject_CallFunction(PyExc_OSError, "isO", error.error_number(),
                            (std::string(std::strerror(error.error_number())) +
                             " (flushing the directory failed after the rename: the new file is in place, but the "
                             "replacement may not survive a crash)")
                                .c_str(),
                            path));
  if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

void raise_format_error(const FormatError& error) {
  PyRef text(PyUnicode_FromString(error.what()));
  if (!text) python_api_failed(VELMORA_HERE);
  PyErr_SetObject(PyExc_ValueError, text.get());
}

PyObject* new_bytearray(std::size_t size) {
  PyObject* result = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (result == nullptr) throw std::bad_alloc();
  return result;
}

void raise_key_error(std::uint64_t id) {
  PyRef key(PyLong_FromUnsignedLongLong(id));
  if (!key) python_api_failed(VELMORA_HERE);
  PyErr_SetObject(PyExc_KeyError, key.get());
}

// The ids of a 1-D uint64 buffer argument.
bool ids_argument(PyObject* obj, const char* name, HeldBuffer& buffer, std::size_t* n) {
  return buffer.acquire(obj, name) && check_u64_vector(buffer.view(), name, n);
}

// A copy of the ids of a 1-D uint64 buffer argument.
bool read_ids(PyObject* obj, const char* name, std::vector<std::uint64_t>& ids) {
  HeldBuffer buffer;
  std::size_t n = 0;
  if (!ids_argument(obj, name, buffer, &n)) return false;
  ids.resize(n);
  copy_u64_vector(buffer.view(), ids.data());
  return true;
}

// Positions of ids, in order; false with KeyError(id) set for the first
// unknown id.
bool positions_of(const CompressedVectorStore& store, const std::vector<std::uint64_t>& ids,
                  std::vector<std::size_t>* positions) {
  positions->resize(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    (*positions)[i] = store.position_of(ids[i]);
    if ((*positions)[i] == CompressedVectorStore::npos) {
      raise_key_error(ids[i]);
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Construction and plain properties.

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"dim", "bits", nullptr};
    PyObject* dim_arg = nullptr;
    PyObject* bits_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:IndexCore", const_cast<char**>(keywords), &dim_arg, &bits_arg)) {
      return nullptr;
    }
    std::uint64_t dim = 0;
    std::uint8_t bits = 0;
    if (!extract_u64(dim_arg, &dim) || !extract_u8(bits_arg, &bits)) return nullptr;
    if (dim > kMaxIndexDim) {
      PyErr_Format(PyExc_ValueError, "Unsupported dimension: %llu. Maximum supported dimension is %llu.",
                   static_cast<unsigned long long>(dim), static_cast<unsigned long long>(kMaxIndexDim));
      return nullptr;
    }
    std::optional<Result<CompressedVectorStore>> created;
    {
      GilReleased unlocked;  // a first use of a dimension builds its rotation
      created.emplace(CompressedVectorStore::create(dim, bits, /*keep_error_bounds=*/true));
    }
    if (!*created) {
      raise_store_error(created->error());
      return nullptr;
    }
    return new_store_object(type, std::move(*created).value());
  });
}

PyObject* index_dim(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    // Fixed for the index's life: no borrow needed.
    return result_or_panic(PyLong_FromSize_t(store_of(self).dim()), VELMORA_HERE);
  });
}

PyObject* index_bits(PyObject* self, void*) {
  return guarded<PyObject*>(
      nullptr, [&]() -> PyObject* { return result_or_panic(PyLong_FromLong(store_of(self).bits()), VELMORA_HERE); });
}

PyObject* index_contains(PyObject* self, PyObject* id_arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::uint64_t id = 0;
    if (!extract_u64(id_arg, &id)) return nullptr;
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    return result_or_panic(PyBool_FromLong(borrow.store().position_of(id) != CompressedVectorStore::npos),
                           VELMORA_HERE);
  });
}

PyObject* index_ids(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    const CompressedVectorStore& store = borrow.store();
    const StoredEntries entries = store.stored_entries();
    PyObject* out = new_bytearray(store.size() * sizeof(std::uint64_t));
    auto* ids = reinterpret_cast<std::uint64_t*>(PyByteArray_AS_STRING(out));
    if (store.lists() == nullptr) {
      if (store.size() > 0) std::memcpy(ids, entries.ids, store.size() * sizeof(std::uint64_t));
    } else {
      const std::vector<std::size_t> positions = store.record_positions();
      for (std::size_t i = 0; i < positions.size(); ++i) ids[i] = entries.ids[positions[i]];
    }
    return out;
  });
}

// ---------------------------------------------------------------------------
// Changing the index.

PyObject* index_add(PyObject* self, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* ids_arg;
    PyObject* vectors_arg;
    if (!PyArg_ParseTuple(args, "OO:add", &ids_arg, &vectors_arg)) return nullptr;
    const std::size_t dim = store_of(self).dim();  // fixed for the index's life
    HeldBuffer ids_buffer, vectors_buffer;
    std::size_t n = 0, rows = 0;
    FloatKind kind;
    if (!ids_argument(ids_arg, "ids", ids_buffer, &n) || !vectors_buffer.acquire(vectors_arg, "vectors") ||
        !check_float_matrix(vectors_buffer.view(), "vectors", dim, &rows, &kind)) {
      return nullptr;
    }
    if (rows != n) {
      PyErr_Format(PyExc_ValueError, "ids and vectors differ in length: %zu ids, %zu vectors", n, rows);
      return nullptr;
    }
    Borrow borrow(self, Access::Exclusive);
    if (!borrow) return nullptr;
    if (n == 0) Py_RETURN_NONE;
    CompressedVectorStore& store = borrow.store();
    std::vector<std::uint64_t> ids(n);
    copy_u64_vector(ids_buffer.view(), ids.data());

    // Rows are copied chunk by chunk with the lock held (no Python code runs
    // meanwhile) and encoded without it.
    RowBatchEncoder encoder(store, n);
    for (std::size_t first = 0; first < n; first += encoder.chunk_rows()) {
      const std::size_t count = std::min(encoder.chunk_rows(), n - first);
      copy_float_rows(vectors_buffer.view(), kind, first, count, encoder.chunk());
      std::size_t bad;
      {
        GilReleased unlocked;
        bad = encoder.encode_chunk(first, count);
      }
      if (bad < count) {
        PyErr_Format(PyExc_ValueError, "row %zu (id %llu): zero or non-finite vector", first + bad,
                     static_cast<unsigned long long>(ids[first + bad]));
        return nullptr;
      }
    }
    {
      GilReleased unlocked;
      encoder.upsert_into(store, ids.data());
    }
    Py_RETURN_NONE;
  });
}

PyObject* index_remove(PyObject* self, PyObject* ids_arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<std::uint64_t> ids;
    if (!read_ids(ids_arg, "ids", ids)) return nullptr;
    Borrow borrow(self, Access::Exclusive);
    if (!borrow) return nullptr;
    std::size_t removed = 0;
    {
      GilReleased unlocked;
      for (std::uint64_t id : ids) removed += borrow.store().remove(id) ? 1 : 0;
    }
    return result_or_panic(PyLong_FromSize_t(removed), VELMORA_HERE);
  });
}

// partition(lists): lays the records out in `lists` lists (0: the default
// count for the index's size).
PyObject* index_partition(PyObject* self, PyObject* lists_arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::uint64_t lists = 0;
    if (!extract_u64(lists_arg, &lists)) return nullptr;
    Borrow borrow(self, Access::Exclusive);
    if (!borrow) return nullptr;
    CompressedVectorStore& store = borrow.store();
    if (store.size() == 0) {
      PyErr_SetString(PyExc_ValueError, "an empty index cannot be partitioned");
      return nullptr;
    }
    if (lists == 0) lists = default_list_count(store.size());
    if (lists > store.size()) {
      PyErr_Format(PyExc_ValueError, "partitions must be at most the number of stored vectors (%zu), got %llu",
                   store.size(), static_cast<unsigned long long>(lists));
      return nullptr;
    }
    {
      GilReleased unlocked;
      partition_store(store, static_cast<std::size_t>(lists));
    }
    Py_RETURN_NONE;
  });
}

// (partitions, default probes): 0 and 0 for a flat index.
PyObject* index_partitioning(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    const ListLayout* lists = borrow.store().lists();
    const std::size_t count = lists != nullptr ? lists->list_count() : 0;
    const std::size_t probes = lists != nullptr ? lists->default_probes() : 0;
    return result_or_panic(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(count), static_cast<Py_ssize_t>(probes)),
                           VELMORA_HERE);
  });
}

PyObject* index_import_records(PyObject* self, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* ids_arg;
    PyObject* norms_arg;
    PyObject* codes_arg;
    PyObject* bounds_arg;
    if (!PyArg_ParseTuple(args, "OOOO:import_records", &ids_arg, &norms_arg, &codes_arg, &bounds_arg)) {
      return nullptr;
    }
    const CompressedVectorStore& shape = store_of(self);
    const std::size_t dim = shape.dim(), record = packed_len(dim, shape.bits());
    HeldBuffer ids_buffer, norms_buffer, codes_buffer, bounds_buffer;
    std::size_t n = 0, norm_count = 0, code_rows = 0, code_columns = 0;
    if (!ids_argument(ids_arg, "ids", ids_buffer, &n) || !norms_buffer.acquire(norms_arg, "norms") ||
        !check_f32_vector(norms_buffer.view(), "norms", &norm_count) || !codes_buffer.acquire(codes_arg, "codes") ||
        !check_u8_matrix(codes_buffer.view(), "codes", &code_rows, &code_columns)) {
      return nullptr;
    }
    const bool with_bounds = bounds_arg != Py_None;
    std::size_t bound_count = n;
    if (with_bounds && (!bounds_buffer.acquire(bounds_arg, "error_bounds") ||
                        !check_u16_vector(bounds_buffer.view(), "error_bounds", &bound_count))) {
      return nullptr;
    }
    if (norm_count != n || code_rows != n || bound_count != n) {
      PyErr_Format(PyExc_ValueError, "ids, norms, codes and error_bounds differ in length: %zu, %zu, %zu and %zu", n,
                   norm_count, code_rows, bound_count);
      return nullptr;
    }
    if (code_columns != record) {
      PyErr_Format(PyExc_ValueError, "codes must have %zu bytes per record (dim %zu at %d bits), got %zu", record, dim,
                   static_cast<int>(shape.bits()), code_columns);
      return nullptr;
    }
    Borrow borrow(self, Access::Exclusive);
    if (!borrow) return nullptr;
    std::vector<std::uint64_t> ids(n);
    std::vector<float> norms(n);
    std::vector<std::uint8_t> codes(n * record);
    std::vector<std::uint16_t> bounds(with_bounds ? n : 0);
    copy_u64_vector(ids_buffer.view(), ids.data());
    if (with_bounds) copy_u16_vector(bounds_buffer.view(), bounds.data());
    copy_f32_vector(norms_buffer.view(), norms.data());
    copy_u8_matrix(codes_buffer.view(), codes.data());
    const RecordFaultAt fault = PackedRecordCheck(dim, shape.bits()).first_fault(norms.data(), codes.data(), n);
    if (fault.fault == RecordFault::DegenerateNorm) {
      PyErr_Format(PyExc_ValueError, "record %zu (id %llu): the norm must be finite and at least 1e-30", fault.record,
                   static_cast<unsigned long long>(ids[fault.record]));
      return nullptr;
    }
    if (fault.fault == RecordFault::SpareBits) {
      PyErr_Format(PyExc_ValueError, "record %zu (id %llu): nonzero spare bits after the codes", fault.record,
                   static_cast<unsigned long long>(ids[fault.record]));
      return nullptr;
    }
    {
      GilReleased unlocked;
      import_packed_records(borrow.store(), ids.data(), norms.data(), codes.data(),
                            with_bounds ? bounds.data() : nullptr, n);
    }
    Py_RETURN_NONE;
  });
}

// ---------------------------------------------------------------------------
// Reading the index.

// The `allowed` argument of a search: null (every position), or a 1-D
// uint64 array of ids, copied out while the lock is held.
struct AllowedIds {
  bool filtered = false;
  std::vector<std::uint64_t> ids;

  bool read(PyObject* arg) {
    filtered = arg != Py_None;
    if (!filtered) return true;
    HeldBuffer buffer;
    std::size_t n = 0;
    if (!ids_argument(arg, "allowed", buffer, &n)) return false;
    ids.resize(n);
    copy_u64_vector(buffer.view(), ids.data());
    return true;
  }

  // The positions of the stored ids among them (without the lock).
  std::optional<PositionSet> positions(const CompressedVectorStore& store) const {
    if (!filtered) return std::nullopt;
    PositionSet set(store.position_count());
    for (std::uint64_t id : ids) {
      const std::size_t p = store.position_of(id);
      if (p != CompressedVectorStore::npos) set.add(p);
    }
    return set;
  }
};

// A 2-D float32 or float64 matrix argument of `columns` columns.
struct FloatRows {
  HeldBuffer buffer;
  FloatKind kind = FloatKind::F32;
  std::size_t rows = 0;
  std::size_t columns = 0;

  bool acquire(PyObject* arg, const char* name, std::size_t wanted_columns) {
    columns = wanted_columns;
    return buffer.acquire(arg, name) && check_float_matrix(buffer.view(), name, columns, &rows, &kind);
  }
  // A matrix of any number of columns, at least one.
  bool acquire_matrix(PyObject* arg, const char* name) {
    if (!buffer.acquire(arg, name)) return false;
    const Py_buffer& view = buffer.view();
    columns = view.ndim == 2 ? static_cast<std::size_t>(view.shape[1]) : 0;
    if (!check_float_matrix(view, name, columns, &rows, &kind)) return false;
    if (columns == 0) {
      PyErr_Format(PyExc_ValueError, "%s must have at least one column", name);
      return false;
    }
    return true;
  }
};

// The arguments (queries, k, allowed, probes) of a search, copied while the
// lock is held: queries as f32 rows; probes 0 reads every list, None the
// index's default lists.
struct SearchArguments {
  std::vector<float> queries;
  std::size_t m = 0;
  std::uint64_t k = 0;
  std::uint64_t probes = 0;
  bool default_probes = false;
  AllowedIds allowed_ids;

  // False with an exception set.
  bool read(PyObject* args, const char* format, std::size_t dim) {
    PyObject *queries_arg, *k_arg, *allowed_arg, *probes_arg;
    FloatRows queries_in;
    if (!PyArg_ParseTuple(args, format, &queries_arg, &k_arg, &allowed_arg, &probes_arg) ||
        !queries_in.acquire(queries_arg, "queries", dim) || !extract_u64(k_arg, &k) || !allowed_ids.read(allowed_arg)) {
      return false;
    }
    default_probes = probes_arg == Py_None;
    if (!default_probes && !extract_u64(probes_arg, &probes)) return false;
    m = queries_in.rows;
    queries.resize(m * dim);
    copy_float_rows(queries_in.buffer.view(), queries_in.kind, 0, m, queries.data());
    return true;
  }
};

// The search and the re-ranking's candidates take the same arguments and
// give the same shapes: (ids, scores or keys, results per query).
template <class Run>
PyObject* search_like(PyObject* self, PyObject* args, const char* format, Run&& run) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    SearchArguments search;
    if (!search.read(args, format, store_of(self).dim())) return nullptr;
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    const CompressedVectorStore& store = borrow.store();
    const std::size_t m = search.m;
    const std::uint64_t k = search.k;
    const AllowedIds& allowed_ids = search.allowed_ids;
    const std::vector<float>& queries = search.queries;
    const ListLayout* lists = store.lists();
    if (lists == nullptr && !search.default_probes && search.probes != 0) {
      PyErr_SetString(PyExc_ValueError, "probes needs a partitioned index: call partition() first");
      return nullptr;
    }
    const std::size_t probes = lists == nullptr        ? 0
                               : search.default_probes ? lists->default_probes()
                                                       : static_cast<std::size_t>(search.probes);

    std::vector<std::uint64_t> ids;
    std::vector<float> scores;
    std::size_t kept = 0;
    {
      GilReleased unlocked;
      const std::optional<PositionSet> allowed = allowed_ids.positions(store);
      const std::size_t candidates = allowed ? allowed->count() : store.size();
      kept = static_cast<std::size_t>(std::min<std::uint64_t>(k, candidates));
      ids.resize(m * kept);
      scores.resize(m * kept);
      const PositionSet* filter = allowed ? &*allowed : nullptr;
      run(store, queries.data(), m, kept, probes, filter, ids.data(), scores.data());
    }
    PyRef ids_out(new_bytearray(ids.size() * sizeof(std::uint64_t)));
    PyRef scores_out(new_bytearray(scores.size() * sizeof(float)));
    if (!ids.empty()) {
      std::memcpy(PyByteArray_AS_STRING(ids_out.get()), ids.data(), ids.size() * sizeof(std::uint64_t));
      std::memcpy(PyByteArray_AS_STRING(scores_out.get()), scores.data(), scores.size() * sizeof(float));
    }
    return result_or_panic(
        Py_BuildValue("(NNn)", ids_out.release(), scores_out.release(), static_cast<Py_ssize_t>(kept)), VELMORA_HERE);
  });
}

PyObject* index_search(PyObject* self, PyObject* args) {
  return search_like(self, args, "OOOO:search",
                     [](const CompressedVectorStore& store, const float* queries, std::size_t m, std::size_t k,
                        std::size_t probes, const PositionSet* filter, std::uint64_t* ids, float* scores) {
                       if (probes == 0) {
                         search_batch(store.record_view(), queries, m, k, filter, ids, scores);
                       } else {
                         search_probed(store, queries, m, k, probes, filter, ids, scores);
                       }
                     });
}

// rerank_candidates(queries, c, allowed, probes): the candidates a re-ranking
// reads (partition.h), as search gives its results: (ids, keys, c kept).
PyObject* index_rerank_candidates(PyObject* self, PyObject* args) {
  return search_like(self, args, "OOOO:rerank_candidates", rerank_candidates);
}

// A new bytearray holding the bytes of a vector.
template <class T>
PyObject* bytes_of(const std::vector<T>& values) {
  PyObject* out = new_bytearray(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(PyByteArray_AS_STRING(out), values.data(), values.size() * sizeof(T));
  return out;
}

// False, with a ValueError set, when some stored vector has no error bound
// (the exact search's passes need every one).
bool error_bounds_known(const CompressedVectorStore& store) {
  if (store.unknown_error_bounds() == 0) return true;
  PyErr_SetString(PyExc_ValueError, "some stored vectors have no error bound");
  return false;
}

// exact_pass(queries, first, k, allowed): one pass of an exact search for
// each query (exact_search.h), flat, as bytes: the first ids (uint64), their
// table sums (float32) and upper bounds (float64) and their count per query
// (uint64); the other ids, their upper bounds and their count per query; the
// assumption of each query (float64).
PyObject* index_exact_pass(PyObject* self, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject *queries_arg, *first_arg, *k_arg, *allowed_arg;
    if (!PyArg_ParseTuple(args, "OOOO:exact_pass", &queries_arg, &first_arg, &k_arg, &allowed_arg)) return nullptr;
    const std::size_t dim = store_of(self).dim();
    FloatRows queries_in;
    std::uint64_t first = 0, k = 0;
    AllowedIds allowed_ids;
    if (!queries_in.acquire(queries_arg, "queries", dim) || !extract_u64(first_arg, &first) ||
        !extract_u64(k_arg, &k) || !allowed_ids.read(allowed_arg)) {
      return nullptr;
    }
    if (k < 1 || k > first) {
      PyErr_SetString(PyExc_ValueError, "exact_pass needs 1 <= k <= first");
      return nullptr;
    }
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    const CompressedVectorStore& store = borrow.store();
    if (!error_bounds_known(store)) return nullptr;
    const std::size_t m = queries_in.rows;
    std::vector<float> queries(m * dim);
    copy_float_rows(queries_in.buffer.view(), queries_in.kind, 0, m, queries.data());
    std::vector<std::uint64_t> first_ids, first_counts(m), other_ids, other_counts(m);
    std::vector<float> first_sums;
    std::vector<double> first_upper, other_upper, assumed(m);
    {
      GilReleased unlocked;
      const std::optional<PositionSet> allowed = allowed_ids.positions(store);
      const PositionSet* filter = allowed ? &*allowed : nullptr;
      const std::vector<ExactPass> found =
          store.lists() != nullptr ? exact_pass_lists(store, queries.data(), m, static_cast<std::size_t>(first),
                                                      static_cast<std::size_t>(k), filter)
                                   : exact_pass(store.record_view(), queries.data(), m, static_cast<std::size_t>(first),
                                                static_cast<std::size_t>(k), filter);
      const StoredEntries entries = store.stored_entries();
      for (std::size_t q = 0; q < m; ++q) {
        const ExactPass& pass = found[q];
        first_counts[q] = pass.first.size();
        other_counts[q] = pass.others.size();
        assumed[q] = pass.assumed;
        for (std::size_t p : pass.first) first_ids.push_back(entries.ids[p]);
        for (std::size_t p : pass.others) other_ids.push_back(entries.ids[p]);
        first_sums.insert(first_sums.end(), pass.first_sums.begin(), pass.first_sums.end());
        first_upper.insert(first_upper.end(), pass.first_upper.begin(), pass.first_upper.end());
        other_upper.insert(other_upper.end(), pass.others_upper.begin(), pass.others_upper.end());
      }
    }
    return result_or_panic(Py_BuildValue("(NNNNNNNN)", bytes_of(first_ids), bytes_of(first_sums), bytes_of(first_upper),
                                         bytes_of(first_counts), bytes_of(other_ids), bytes_of(other_upper),
                                         bytes_of(other_counts), bytes_of(assumed)),
                           VELMORA_HERE);
  });
}

// read_list(queries, taus, allowed): for each query, the ids whose true
// cosine may reach taus[q] (exact_search.h), as uint64 bytes, and how many
// each query has, as uint64 bytes.
PyObject* index_read_list(PyObject* self, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* queries_arg;
    PyObject* taus_arg;
    PyObject* allowed_arg;
    if (!PyArg_ParseTuple(args, "OOO:read_list", &queries_arg, &taus_arg, &allowed_arg)) return nullptr;
    const std::size_t dim = store_of(self).dim();
    FloatRows queries_in;
    HeldBuffer taus_buffer;
    std::size_t tau_count = 0;
    AllowedIds allowed_ids;
    if (!queries_in.acquire(queries_arg, "queries", dim) || !taus_buffer.acquire(taus_arg, "taus") ||
        !check_f64_vector(taus_buffer.view(), "taus", &tau_count) || !allowed_ids.read(allowed_arg)) {
      return nullptr;
    }
    const std::size_t m = queries_in.rows;
    if (tau_count != m) {
      PyErr_Format(PyExc_ValueError, "queries and taus differ in length: %zu and %zu", m, tau_count);
      return nullptr;
    }
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    const CompressedVectorStore& store = borrow.store();
    if (!error_bounds_known(store)) return nullptr;
    std::vector<float> queries(m * dim);
    std::vector<double> taus(m);
    copy_float_rows(queries_in.buffer.view(), queries_in.kind, 0, m, queries.data());
    copy_f64_vector(taus_buffer.view(), taus.data());
    std::vector<std::uint64_t> ids, counts(m);
    {
      GilReleased unlocked;
      const std::optional<PositionSet> allowed = allowed_ids.positions(store);
      const std::vector<std::vector<std::size_t>> read =
          store.lists() != nullptr
              ? positions_to_read_lists(store, queries.data(), m, taus.data(), allowed ? &*allowed : nullptr)
              : positions_to_read(store.record_view(), queries.data(), m, taus.data(), allowed ? &*allowed : nullptr);
      const StoredEntries entries = store.stored_entries();
      for (std::size_t q = 0; q < m; ++q) {
        counts[q] = read[q].size();
        for (std::size_t p : read[q]) ids.push_back(entries.ids[p]);
      }
    }
    return result_or_panic(Py_BuildValue("(NN)", bytes_of(ids), bytes_of(counts)), VELMORA_HERE);
  });
}

// exact_cosines(queries, rows, pair_query, pair_row): the exact cosine (pair_cosines) of
// queries[pair_query[i]] and rows[pair_row[i]] for every pair, as float64
// bytes (a module function: it needs no index). The rows are read in place
// without the lock: the held export keeps them valid and unresizable.
PyObject* exact_cosines(PyObject*, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* queries_arg;
    PyObject* rows_arg;
    PyObject* pair_query_arg;
    PyObject* pair_row_arg;
    if (!PyArg_ParseTuple(args, "OOOO:exact_cosines", &queries_arg, &rows_arg, &pair_query_arg, &pair_row_arg)) {
      return nullptr;
    }
    FloatRows queries_in, rows_in;
    HeldBuffer pair_query_buffer, pair_row_buffer;
    std::size_t pairs = 0, pair_rows = 0;
    if (!queries_in.acquire_matrix(queries_arg, "queries") || !rows_in.acquire(rows_arg, "rows", queries_in.columns) ||
        !ids_argument(pair_query_arg, "pair_query", pair_query_buffer, &pairs) ||
        !ids_argument(pair_row_arg, "pair_row", pair_row_buffer, &pair_rows)) {
      return nullptr;
    }
    const std::size_t dim = queries_in.columns;
    if (pairs != pair_rows) {
      PyErr_Format(PyExc_ValueError, "pair_query and pair_row differ in length: %zu and %zu", pairs, pair_rows);
      return nullptr;
    }
    std::vector<std::uint64_t> pair_query(pairs), pair_row(pairs);
    copy_u64_vector(pair_query_buffer.view(), pair_query.data());
    copy_u64_vector(pair_row_buffer.view(), pair_row.data());
    for (std::size_t i = 0; i < pairs; ++i) {
      if (pair_query[i] >= queries_in.rows || pair_row[i] >= rows_in.rows) {
        PyErr_Format(PyExc_IndexError, "pair %zu refers to query %llu of %zu or row %llu of %zu", i,
                     static_cast<unsigned long long>(pair_query[i]), queries_in.rows,
                     static_cast<unsigned long long>(pair_row[i]), rows_in.rows);
        return nullptr;
      }
    }
    std::vector<double> queries(queries_in.rows * dim);
    copy_float_rows_f64(queries_in.buffer.view(), queries_in.kind, 0, queries_in.rows, queries.data());
    const Py_buffer& view = rows_in.buffer.view();
    FloatMatrixRef rows;
    rows.data = static_cast<const unsigned char*>(view.buf);
    rows.rows = rows_in.rows;
    rows.columns = dim;
    rows.row_stride = view.strides[0];
    rows.column_stride = view.strides[1];
    rows.is_f64 = rows_in.kind == FloatKind::F64;
    PyRef out(new_bytearray(pairs * sizeof(double)));
    auto* cosines = reinterpret_cast<double*>(PyByteArray_AS_STRING(out.get()));
    {
      GilReleased unlocked;
      pair_cosines(queries.data(), queries_in.rows, rows, pair_query.data(), pair_row.data(), pairs, cosines);
    }
    return out.release();
  });
}

PyObject* index_unknown_error_bounds(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    std::size_t unknown;
    {
      GilReleased unlocked;
      unknown = borrow.store().unknown_error_bounds();
    }
    return result_or_panic(PyLong_FromSize_t(unknown), VELMORA_HERE);
  });
}

PyObject* index_reconstruct(PyObject* self, PyObject* ids_arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<std::uint64_t> ids;
    if (!read_ids(ids_arg, "ids", ids)) return nullptr;
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    std::vector<std::size_t> positions;
    if (!positions_of(borrow.store(), ids, &positions)) return nullptr;
    const std::size_t dim = borrow.store().dim(), n = ids.size();
    // Only this call holds the new bytearray, so it is filled without the lock.
    PyRef out(new_bytearray(n * dim * sizeof(float)));
    float* values = reinterpret_cast<float*>(PyByteArray_AS_STRING(out.get()));
    {
      GilReleased unlocked;
      reconstruct_positions(borrow.store(), positions.data(), n, values);
    }
    return out.release();
  });
}

PyObject* index_export_records(PyObject* self, PyObject* ids_arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<std::uint64_t> ids;
    if (!read_ids(ids_arg, "ids", ids)) return nullptr;
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    const CompressedVectorStore& store = borrow.store();
    std::vector<std::size_t> positions;
    if (!positions_of(store, ids, &positions)) return nullptr;
    const std::size_t record = packed_len(store.dim(), store.bits()), n = ids.size();
    PyRef norms_out(new_bytearray(n * sizeof(float)));
    PyRef codes_out(new_bytearray(n * record));
    PyRef bounds_out(new_bytearray(n * sizeof(std::uint16_t)));
    auto* norms = reinterpret_cast<float*>(PyByteArray_AS_STRING(norms_out.get()));
    auto* codes = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(codes_out.get()));
    auto* bounds = reinterpret_cast<std::uint16_t*>(PyByteArray_AS_STRING(bounds_out.get()));
    {
      GilReleased unlocked;
      const StoredEntries entries = store.stored_entries();
      for (std::size_t i = 0; i < n; ++i) {
        norms[i] = entries.norms[positions[i]];
        entries.codes->export_packed(positions[i], 1, codes + i * record);
        bounds[i] = entries.error_bounds != nullptr ? entries.error_bounds[positions[i]] : kUnknownErrorBound;
      }
    }
    return result_or_panic(Py_BuildValue("(NNN)", norms_out.release(), codes_out.release(), bounds_out.release()),
                           VELMORA_HERE);
  });
}

// ---------------------------------------------------------------------------
// Persistence.

// The file system path of a bytes object (the Python side passes
// os.fsencode(path)); false with an exception set if it is not one.
bool path_from_bytes(PyObject* path_arg, std::string& path) {
  if (!PyBytes_Check(path_arg)) {
    PyErr_SetString(PyExc_TypeError, "path must be bytes (use os.fsencode)");
    return false;
  }
  path.assign(PyBytes_AS_STRING(path_arg), static_cast<std::size_t>(PyBytes_GET_SIZE(path_arg)));
  if (path.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte in path");
    return false;
  }
  return true;
}

PyObject* index_save(PyObject* self, PyObject* path_arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string path;
    if (!path_from_bytes(path_arg, path)) return nullptr;
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    try {
      GilReleased unlocked;
      replace_file_atomically(path, [&](ByteSink& sink) { write_index(borrow.store(), sink); });
    } catch (const SystemCallError& error) {
      raise_system_error(error, path_arg);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

// write_file_atomically(path, data): the atomic replacement Index.save uses,
// for files written from Python (a sharded store's manifest).
PyObject* write_file_atomically(PyObject*, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* path_arg;
    PyObject* data_arg;
    if (!PyArg_ParseTuple(args, "OO:write_file_atomically", &path_arg, &data_arg)) return nullptr;
    std::string path;
    if (!path_from_bytes(path_arg, path)) return nullptr;
    HeldBuffer data;
    if (!data.acquire(data_arg, "data")) return nullptr;
    if (!PyBuffer_IsContiguous(&data.view(), 'C')) {
      PyErr_SetString(PyExc_ValueError, "data must be a contiguous buffer of bytes");
      return nullptr;
    }
    // A copy: the buffer's owner could change it while the lock is released.
    const auto* bytes = static_cast<const std::uint8_t*>(data.view().buf);
    const std::vector<std::uint8_t> copy(bytes, bytes + data.view().len);
    try {
      GilReleased unlocked;
      replace_file_atomically(path, [&](ByteSink& sink) { sink.write(copy.data(), copy.size()); });
    } catch (const SystemCallError& error) {
      raise_system_error(error, path_arg);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* index_to_bytes(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    const std::uint64_t size = serialized_size(borrow.store());
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) return nullptr;
    {
      // Nothing else can reach the new bytes object yet.
      GilReleased unlocked;
      MemorySink sink(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get())), static_cast<std::size_t>(size));
      write_index(borrow.store(), sink);
      VELMORA_CHECK(sink.left() == 0, "serialised index is shorter than its computed size");
    }
    return out.release();
  });
}

PyObject* index_load(PyObject* cls, PyObject* path_arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string path;
    if (!path_from_bytes(path_arg, path)) return nullptr;
    std::optional<CompressedVectorStore> loaded;
    try {
      GilReleased unlocked;
      UniqueFd file(open_for_reading(path));
      FdSource source(file.get());
      loaded.emplace(read_index(source));
    } catch (const SystemCallError& error) {
      raise_system_error(error, path_arg);
      return nullptr;
    } catch (const FormatError& error) {
      raise_format_error(error);
      return nullptr;
    }
    return new_store_object(reinterpret_cast<PyTypeObject*>(cls), std::move(*loaded));
  });
}

// A new index of `cls` holding what CompressedVectorStore(dim, bits) holds
// after `fill` ran on it; null with the exception set when `fill` failed.
// The store's own conversions and errors, without a store to export from.
template <class Fill>
PyObject* index_filled_as_store(PyObject* cls, PyObject* dim_arg, PyObject* bits_arg, Fill&& fill) {
  std::uint64_t dim = 0;
  std::uint8_t bits = 0;
  if (!extract_u64(dim_arg, &dim) || !extract_u8(bits_arg, &bits)) return nullptr;
  Result<CompressedVectorStore> created = CompressedVectorStore::create(dim, bits, /*keep_error_bounds=*/true);
  if (!created) {
    raise_store_error(created.error());
    return nullptr;
  }
  CompressedVectorStore& store = created.value();
  if (!fill(store)) return nullptr;
  return new_store_object(reinterpret_cast<PyTypeObject*>(cls), std::move(store));
}

// from_pairs(dim, bits, pairs): CompressedVectorStore.insert_batch(pairs).
PyObject* index_from_pairs(PyObject* cls, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject *dim_arg, *bits_arg, *pairs_arg;
    if (!PyArg_ParseTuple(args, "OOO:from_pairs", &dim_arg, &bits_arg, &pairs_arg)) return nullptr;
    return index_filled_as_store(cls, dim_arg, bits_arg, [&](CompressedVectorStore& store) {
      BatchArgument batch;
      if (!convert_argument("pairs", extract_pairs, pairs_arg, &batch)) return false;
      const Status status = store.insert_batch(batch.pairs);
      if (!status) raise_store_error(status.error());
      return status.ok();
    });
  });
}

// from_pair(dim, bits, id, vector): CompressedVectorStore.insert(id, vector).
PyObject* index_from_pair(PyObject* cls, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject *dim_arg, *bits_arg, *id_arg, *vector_arg;
    if (!PyArg_ParseTuple(args, "OOOO:from_pair", &dim_arg, &bits_arg, &id_arg, &vector_arg)) return nullptr;
    return index_filled_as_store(cls, dim_arg, bits_arg, [&](CompressedVectorStore& store) {
      std::uint64_t id = 0;
      std::vector<float> vector;
      if (!convert_argument("id", extract_u64, id_arg, &id) ||
          !convert_argument("vector", extract_f32_vec, vector_arg, &vector)) {
        return false;
      }
      const Status status = store.insert(id, FloatView(vector));
      if (!status) raise_store_error(status.error());
      return status.ok();
    });
  });
}

PyObject* index_from_bytes(PyObject* cls, PyObject* data_arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    HeldBuffer data;
    if (!data.acquire(data_arg, "data")) return nullptr;
    const Py_buffer& view = data.view();
    if (!PyBuffer_IsContiguous(&view, 'C')) {
      PyErr_SetString(PyExc_ValueError, "data must be a contiguous buffer of bytes");
      return nullptr;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(view.buf);
    const std::size_t size = static_cast<std::size_t>(view.len);
    // Immutable bytes are read in place with the lock released; anything
    // else might be changed by another thread meanwhile, so it is copied.
    std::vector<std::uint8_t> copy;
    if (!PyBytes_CheckExact(data_arg)) {
      copy.assign(bytes, bytes + size);
      bytes = copy.data();
    }
    std::optional<CompressedVectorStore> loaded;
    try {
      GilReleased unlocked;
      MemorySource source(bytes, size);
      loaded.emplace(read_index(source));
    } catch (const FormatError& error) {
      raise_format_error(error);
      return nullptr;
    }
    return new_store_object(reinterpret_cast<PyTypeObject*>(cls), std::move(*loaded));
  });
}

// ---------------------------------------------------------------------------
// The class and the module.

PyMethodDef g_methods[] = {
    {"memory_bytes", store_memory_bytes<kIndexType>, METH_NOARGS,
     "memory_bytes($self)\n--\n\nCompressed payload in bytes."},
    {"contains", index_contains, METH_O, "contains($self, id, /)\n--\n\nWhether id is stored."},
    {"ids", index_ids, METH_NOARGS, "ids($self)\n--\n\nThe stored ids in storage order, as uint64 bytes."},
    {"add", index_add, METH_VARARGS, "add($self, ids, vectors, /)\n--\n\nUpserts rows of a float matrix."},
    {"remove", index_remove, METH_O,
     "remove($self, ids, /)\n--\n\nRemoves ids in order; returns how many were stored."},
    {"import_records", index_import_records, METH_VARARGS,
     "import_records($self, ids, norms, codes, error_bounds, /)\n--\n\nUpserts records exported by "
     "export_records (error_bounds None: unknown)."},
    {"search", index_search, METH_VARARGS,
     "search($self, queries, k, allowed, probes, /)\n--\n\nThe k best of every query: (ids, scores, k kept); "
     "probes 0 reads every list, None the default ones."},
    {"rerank_candidates", index_rerank_candidates, METH_VARARGS,
     "rerank_candidates($self, queries, c, allowed, probes, /)\n--\n\nThe c candidates a re-ranking reads for every "
     "query: (ids, keys, c kept), as search gives them."},
    {"partition", index_partition, METH_O,
     "partition($self, lists, /)\n--\n\nLays the records out in lists around k-means centroids (0: the default "
     "count)."},
    {"partitioning", index_partitioning, METH_NOARGS,
     "partitioning($self)\n--\n\n(partitions, default probes), 0 and 0 for a flat index."},
    {"exact_pass", index_exact_pass, METH_VARARGS,
     "exact_pass($self, queries, first, k, allowed, /)\n--\n\nOne pass of an exact search: (first ids, sums, "
     "upper bounds, counts, other ids, upper bounds, counts, assumptions) as bytes."},
    {"read_list", index_read_list, METH_VARARGS,
     "read_list($self, queries, taus, allowed, /)\n--\n\nIds whose true cosine may reach each query's tau, and "
     "their count per query."},
    {"unknown_error_bounds", index_unknown_error_bounds, METH_NOARGS,
     "unknown_error_bounds($self)\n--\n\nHow many stored vectors have no error bound."},
    {"reconstruct", index_reconstruct, METH_O,
     "reconstruct($self, ids, /)\n--\n\nDecoded approximations as float32 bytes."},
    {"export_records", index_export_records, METH_O,
     "export_records($self, ids, /)\n--\n\nNorms (float32 bytes), packed codes and error bounds (uint16 bytes) "
     "of stored ids."},
    {"save", index_save, METH_O, "save($self, path, /)\n--\n\nWrites the index file at path (bytes) atomically."},
    {"to_bytes", index_to_bytes, METH_NOARGS, "to_bytes($self)\n--\n\nThe index file's contents."},
    {"load", index_load, METH_O | METH_CLASS, "load($type, path, /)\n--\n\nReads an index file."},
    {"from_pairs", index_from_pairs, METH_VARARGS | METH_CLASS,
     "from_pairs($type, dim, bits, pairs, /)\n--\n\nAn index holding what "
     "CompressedVectorStore(dim, bits).insert_batch(pairs) stores, with its conversions and errors."},
    {"from_pair", index_from_pair, METH_VARARGS | METH_CLASS,
     "from_pair($type, dim, bits, id, vector, /)\n--\n\nAn index holding what "
     "CompressedVectorStore(dim, bits).insert(id, vector) stores, with its conversions and errors."},
    {"from_bytes", index_from_bytes, METH_O | METH_CLASS,
     "from_bytes($type, data, /)\n--\n\nReads an index file's contents."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"dim", index_dim, nullptr, "Dimension of the stored vectors.", nullptr},
    {"bits", index_bits, nullptr, "Bits per coordinate code.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* create_index_type() {
  static char doc[] = "IndexCore(dim, bits)\n--\n\nThe native index behind velmora.Index.";
  PyType_Slot slots[] = {
      {Py_tp_doc, doc},
      {Py_tp_methods, g_methods},
      {Py_tp_getset, g_getset},
      {Py_tp_new, reinterpret_cast<void*>(index_new)},
      {Py_mp_length, reinterpret_cast<void*>(store_len<kIndexType>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_store_object)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"velmora._index_core.IndexCore", static_cast<int>(sizeof(StoreObject)), 0,
                           Py_TPFLAGS_DEFAULT, slots};
  return PyType_FromSpec(&type_spec);
}

PyMethodDef g_module_functions[] = {
    {"engine_config", engine_config_dict, METH_NOARGS,
     "engine_config()\n--\n\nHow the engine was built, the CPU it runs on, the kernels it chose and its "
     "worker threads, as a dict."},
    {"exact_cosines", exact_cosines, METH_VARARGS,
     "exact_cosines(queries, rows, pair_query, pair_row, /)\n--\n\nExact cosine similarity of each pair (a "
     "row of queries and a row of rows), as float64 bytes."},
    {"write_file_atomically", write_file_atomically, METH_VARARGS,
     "write_file_atomically(path, data, /)\n--\n\nReplaces the file at path (bytes) by data, atomically, as "
     "save does."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_index_core", kModuleDoc, 0, g_module_functions, nullptr, nullptr, nullptr, nullptr,
};

// Creates the module, and the class on first use.
PyObject* create_module() {
  PyRef module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  if (g_index_type == nullptr) {
    g_index_type = create_index_type();
    if (g_index_type == nullptr) return nullptr;
  }
  if (PyModule_AddObjectRef(module.get(), "IndexCore", g_index_type) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace velmora

PyMODINIT_FUNC PyInit__index_core(void) {
  return velmora::guarded<PyObject*>(nullptr, [] {
    return velmora::initialise_once(
        velmora::g_module_once, "velmora._index_core cannot be imported in a subinterpreter", velmora::create_module);
  });
}
