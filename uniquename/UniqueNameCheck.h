// CX::CUniqueNameCheck: tells, for each name handed to it, whether that name
// was handed to it or to one of its clones before, and records it.
//
//     CUniqueNameCheckPtr check = boost::make_shared<CX::CUniqueNameCheck>(false);
//     bool exists = false;
//     CKoError error = check->CheckName("Report", exists);   // exists == false
//     error = check->CheckName("REPORT", exists);            // exists == true
//
// The names live in a private database of the checker (see
// UniqueNameCheckDatabase.h), never in memory. A clone shares that database,
// and with it the set of names, but has its own prepared statement: to check
// names on several threads against one set, give each thread its own clone.
// One checker object must not be used by two threads at once.
//
// Construction never fails outwardly; a checker whose database did not open
// or whose statement did not prepare logs that at level -1, and its
// CheckName answers error 6 (ERROR_INVALID_HANDLE, "Statement not prepared").
// Each checker logs the number of names in the shared set at level 1 when it
// is destroyed.
#pragma once

#include "Export.h"
#include "KoError.h"

#include <boost/shared_ptr.hpp>

#include <string>

namespace CX {

class CUniqueNameCheck;
class CUniqueNameCheckPrivate;
typedef boost::shared_ptr<CUniqueNameCheck> CUniqueNameCheckPtr;

class CX_EXPORT CUniqueNameCheck {
    // Only GetClone can name this, so only GetClone builds an empty checker.
    struct CloneKey {
        explicit CloneKey() = default;
    };

public:
    // A new, empty set of names. `caseSensitive` false makes names that differ
    // only in the case of ASCII letters one name.
    explicit CUniqueNameCheck(bool caseSensitive);
    // For GetClone: a checker without database or statement.
    explicit CUniqueNameCheck(CloneKey);
    ~CUniqueNameCheck();
    CUniqueNameCheck(const CUniqueNameCheck&) = delete;
    CUniqueNameCheck& operator=(const CUniqueNameCheck&) = delete;

    // One more checker on the same set of names, with its own statement. A
    // failure to prepare it is logged; the clone is returned all the same (and
    // answers errors). Empty only when memory ran out.
    CUniqueNameCheckPtr GetClone();

    // Records `name` unless an equal name is recorded already. `nameExists`:
    // false when the name was added now, true when it was there; false on error.
    CKoError CheckName(const string& name, bool& nameExists);

private:
    // Lets the tests reach the shared database to provoke failures.
    friend class UniqueNameCheckTestAccess;

    boost::shared_ptr<CUniqueNameCheckPrivate> d;
};

}  // namespace CX
