// CKoXDocument: a structured document of the utilities library. The container
// record only carries documents by shared pointer; nothing here reads them.
#pragma once

#include "Export.h"

#include <boost/shared_ptr.hpp>

class CX_EXPORT CKoXDocument {
public:
    CKoXDocument() {}
    virtual ~CKoXDocument() {}
};

typedef boost::shared_ptr<CKoXDocument> CKoXDocumentPtr;
