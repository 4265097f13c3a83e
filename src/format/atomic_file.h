// Replacing a file so that readers see either the old or the new contents,
// never a mixture, even if the process or the machine stops half-way.
#pragma once

#include <functional>
#include <string>

#include "format/byte_io.h"

namespace velmora {

// Writes a temporary file in path's directory through `write`, flushes it to
// disk, renames it over path and flushes the directory. On any failure the
// temporary file is removed, path is left as it was, and the error is
// rethrown (a SystemCallError for a failed system call). A failure to flush
// the directory after the rename is a DirectorySyncError: path then already
// holds the new contents.
void replace_file_atomically(const std::string& path, const std::function<void(ByteSink&)>& write);

}  // namespace velmora
