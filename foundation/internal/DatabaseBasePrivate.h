// The data of one FX::CDatabaseBase, which its transactions reach too.
#pragma once

#include "DatabaseBase.h"
#include "SQLiteConnection.h"

#include <memory>
#include <string>

namespace FX {

class CDatabaseBasePrivate {
public:
    int openMode = 0;
    std::string path;
    std::string name;
    std::shared_ptr<detail::Connection> connection;
    CDatabaseBase::CollationNeededHandler collationNeeded;
    // Rollbacks on the connections closed before the current one.
    uint64_t rollbacksBefore = 0;

    static void OnCollationNeeded(void* self, sqlite3*, int encoding, const char* name)
    {
        auto* d = static_cast<CDatabaseBasePrivate*>(self);
        if (!d->collationNeeded || name == nullptr)
            return;
        try {
            d->collationNeeded(encoding, name);
        } catch (...) {
            // Never let an exception cross SQLite's C frames; SQLite reports
            // the missing collation itself.
        }
    }

    static int OnProgress(void* owner) { return static_cast<CDatabaseBase*>(owner)->ProgressHandler(); }

    void Detach()
    {
        if (connection) {
            sqlite3_progress_handler(connection->db, 0, nullptr, nullptr);
            sqlite3_collation_needed(connection->db, nullptr, nullptr);
        }
    }
};

}  // namespace FX
