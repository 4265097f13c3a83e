// Every fixed text of the contract module _velmora_rs and its class
// CompressedVectorStore that the bindings own: names, docstrings, argument
// binding and conversion messages that callers match and tests compare
// exactly. Change none of them. (The store errors' texts live beside the
// errors, in engine/store_error.h.)
#pragma once

namespace velmora {
namespace texts {

// --- The module and the class ------------------------------------------------
inline constexpr const char* kStoreModuleName = "_velmora_rs";
inline constexpr const char* kStoreModuleDoc =
    "Python module entry point, run by the interpreter when the module is imported.\n"
    "Registers all Python-visible classes and functions.";
inline constexpr const char* kSubinterpreterMessage =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/velmora/velmora/issues/1";
inline constexpr const char* kClassName = "CompressedVectorStore";
inline constexpr const char* kClassTypeName = "builtins.CompressedVectorStore";
inline constexpr const char* kClassDoc = "CompressedVectorStore(dim, bits)\n--\n\n";
inline constexpr const char* kAllAppendFailed = "could not append __name__ to __all__";
inline constexpr const char* kClassCreationFailed = "failed to create type object for ";

// --- Method docstrings -------------------------------------------------------
inline constexpr const char* kInsertDoc =
    "insert($self, id, vector)\n--\n\n"
    "Insert a single vector. id is a u64, vector is a list of floats.";
inline constexpr const char* kInsertBatchDoc =
    "insert_batch($self, pairs)\n--\n\n"
    "Insert many vectors at once. Faster than calling insert() in a loop.\n"
    "pairs is a list of (id, vector) tuples.";
inline constexpr const char* kRemoveDoc =
    "remove($self, id)\n--\n\n"
    "Remove a vector by id. Returns True if it existed.";
inline constexpr const char* kQueryDoc =
    "query($self, vector, top_k)\n--\n\n"
    "Query top_k most similar vectors. Returns list of (id, score) tuples.";
inline constexpr const char* kQueryAllDoc =
    "query_all($self, vector)\n--\n\n"
    "Score every vector in the store against the query.\n"
    "Returns list of (id, score) tuples sorted by score descending.";
inline constexpr const char* kMemoryBytesDoc =
    "memory_bytes($self)\n--\n\n"
    "Compressed memory usage in bytes (does not include Python overhead).";

// --- Argument binding (formats: the class name, then the method's name) ------
inline constexpr const char* kTooManyPositional = "%s.%s() takes %zd positional arguments but %zd %s given";
inline constexpr const char* kKeywordsMustBeStrings = "%s.%s() keywords must be strings";
inline constexpr const char* kMultipleValues = "%s.%s() got multiple values for argument '%s'";
inline constexpr const char* kUnexpectedKeyword = "%s.%s() got an unexpected keyword argument '%U'";
inline constexpr const char* kMissingArguments = "%s.%s() missing %zu required positional argument%s: %s";
// A conversion's TypeError, renamed for its parameter.
inline constexpr const char* kArgumentError = "argument '%s': %U";
inline constexpr const char* kUnprintableObject = "<unprintable object>";
inline constexpr const char* kUnprintableTypedObject = "<unprintable %U object>";

// --- Borrows -----------------------------------------------------------------
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

// --- Panics ------------------------------------------------------------------
inline constexpr const char* kPanicTypeName = "pyo3_runtime.PanicException";
inline constexpr const char* kPanicDoc =
    "Raised when velmora's native code panics on a broken internal invariant.\n\n"
    "Like SystemExit, this exception derives from BaseException, not Exception, so that it\n"
    "typically propagates all the way up the stack and ends the interpreter.";
inline constexpr const char* kPythonApiFailed = "Python API call failed";
inline constexpr const char* kUncaughtPanic = "uncaught panic at ffi boundary";

// --- Conversions -------------------------------------------------------------
inline constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr const char* kNotSequence = " object cannot be converted to 'Sequence'";
inline constexpr const char* kNotTuple = " object cannot be converted to 'PyTuple'";
inline constexpr const char* kNotList = " object cannot be converted to 'PyList'";
inline constexpr const char* kPairLength = "expected tuple of length 2, but got tuple of length %zd";
inline constexpr const char* kIntegerOutOfRange = "out of range integral type conversion attempted";
inline constexpr const char* kUnknownTypeName = "<failed to extract type name>";

}  // namespace texts
}  // namespace velmora
