// The path-component collations PATH_COMPONENTS and PATH_COMPONENTS_NOCASE.
//
// They order byte strings like memcmp, with one difference: the backslash
// (0x5C) ranks below every other byte. The NOCASE form folds ASCII capitals
// to small letters first. Both read at most `n` bytes and stop at a NUL.
#pragma once

#include "Export.h"

#include <cstdint>

namespace CX {

CX_EXPORT int32_t path_strcmp(const char* a, const char* b, int32_t n);
CX_EXPORT int32_t path_stricmp(const char* a, const char* b, int32_t n);

// SQLite collation callbacks over the two functions; the texts need not be
// NUL-terminated and no byte beyond either length is read.
CX_EXPORT int32_t sqlite_collation_bypath(void* arg, int32_t length1, const void* data1, int32_t length2,
                                          const void* data2);
CX_EXPORT int32_t sqlite_collation_bypath_nocase(void* arg, int32_t length1, const void* data1, int32_t length2,
                                                 const void* data2);

}  // namespace CX
