// The two listings a comparison walks on each side: the folders of a
// container, and the files of one folder, each with the row in hand.
#pragma once

#include "CompareContentContainersPrivate.h"

#include <cstdint>

namespace CX {

// What a NULL column reads as.
inline const string kNoText;

// One side of the folder walk: the folder listing and the id and name of its
// current row (-1 and empty before the first). At the end of the listing they
// keep the last row's values.
struct FolderCursor {
    FX::CSQLite3QueryPtr query;
    int idField = -1;
    int nameField = -1;
    int metadataField = -1;
    int64_t id = -1;
    string name;
    string metadata;

    void Open()
    {
        try {
            nameField = query->FieldIndex("FolderName");
            idField = query->FieldIndex("FolderId");
            metadataField = query->FieldIndex("Metadata");
        } catch (const FX::CSQLite3Exception& exception) {
            throw CListingFailure{exception};
        }
        if (!query->Eof())
            ReadRow();
    }
    bool AtEnd() const { return query->Eof(); }
    // Read into a buffer of the cursor's own, so that a walk does not allocate
    // per row; valid until the next call.
    const string& Metadata()
    {
        query->ReadStringField(metadataField, metadata, kNoText);
        return metadata;
    }
    void Advance()
    {
        NextListingRow(*query);
        if (!query->Eof())
            ReadRow();
    }

private:
    void ReadRow()
    {
        id = query->GetInt64Field(idField, 0);
        query->ReadStringField(nameField, name, kNoText);
    }
};

// One side of a file walk: the folder's file listing and the name of its
// current row. At the end of the listing the name keeps the last row's value.
struct FileCursor {
    FX::CSQLite3QueryPtr query;
    int nameField = -1;
    int metadataField = -1;
    string name;
    string metadata;

    void Open()
    {
        try {
            nameField = query->FieldIndex("FileName");
            metadataField = query->FieldIndex("Metadata");
        } catch (const FX::CSQLite3Exception& exception) {
            throw CListingFailure{exception};
        }
        if (!query->Eof())
            query->ReadStringField(nameField, name, kNoText);
    }
    bool AtEnd() const { return query->Eof(); }
    // Read into a buffer of the cursor's own, so that a walk does not allocate
    // per row; valid until the next call.
    const string& Metadata()
    {
        query->ReadStringField(metadataField, metadata, kNoText);
        return metadata;
    }
    void Advance()
    {
        NextListingRow(*query);
        if (!query->Eof())
            query->ReadStringField(nameField, name, kNoText);
    }
};

}  // namespace CX
