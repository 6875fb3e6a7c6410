// A loadable SQLite extension with the two path collations, so that the stock
// sqlite3 shell can read a container's folder order and check it:
//
//   sqlite3 snap.cx -cmd '.load /path/to/libcx_sqlite'
#include "PathCollation.h"

#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

namespace {
int Install(sqlite3* db, char** message, const sqlite3_api_routines* api)
{
    SQLITE_EXTENSION_INIT2(api);
    (void)message;
    int rc = sqlite3_create_collation(db, "PATH_COMPONENTS", SQLITE_UTF8, nullptr, &CX::sqlite_collation_bypath);
    if (rc == SQLITE_OK)
        rc = sqlite3_create_collation(db, "PATH_COMPONENTS_NOCASE", SQLITE_UTF8, nullptr,
                                      &CX::sqlite_collation_bypath_nocase);
    return rc;
}
}  // namespace

extern "C" {
// The shell looks for the name made from the file name, then this one.
__attribute__((visibility("default"))) int sqlite3_cxsqlite_init(sqlite3* db, char** message,
                                                                 const sqlite3_api_routines* api)
{
    return Install(db, message, api);
}
__attribute__((visibility("default"))) int sqlite3_extension_init(sqlite3* db, char** message,
                                                                  const sqlite3_api_routines* api)
{
    return Install(db, message, api);
}
}
