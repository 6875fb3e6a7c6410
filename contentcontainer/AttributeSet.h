// CX::CAttributeSet: the metadata text that the tree indexer writes (and cx
// reads), as a set of attributes a host can format, parse and compare.
//
// The text is a list of Key="value" pairs separated by single spaces:
//   Type="link" Size="12" Target="a \"b\"\\c"
// Inside a value a backslash and a double quote are escaped with a
// backslash, and control bytes as \n, \r, \t or \xHH (DEL as \x7F); every
// other byte, valid UTF-8 or not, stands for itself. Parsing gives back every
// byte that was formatted. A key is any non-empty text without a space, "=",
// a double quote or a backslash.
//
// A set keeps its attributes in order; a text may name a key twice, and
// then Get, Set and Compare use its first attribute of that key. Copies are
// independent of each other. One object is used by one thread at a time.
#pragma once

#include "Export.h"
#include "KoError.h"

#include <boost/shared_ptr.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace CX {

struct CX_EXPORT SAttribute {
    std::string key;
    std::string value;  // unescaped: the bytes recorded
};

// An attribute two sets do not share as it is: its value differs, or only
// one of them has it (then the other side's value is empty).
struct CX_EXPORT SAttributeChange {
    std::string key;
    std::string oldValue;
    std::string newValue;
    bool inOld = false;
    bool inNew = false;
};

class CAttributeSetPrivate;

class CX_EXPORT CAttributeSet {
public:
    CAttributeSet();
    CAttributeSet(const CAttributeSet& other);
    CAttributeSet& operator=(const CAttributeSet& other);
    ~CAttributeSet();

    // Replaces the set with the attributes of `text`. A text that is not
    // such a list (metadata in another form) is error 13 (ERROR_INVALID_DATA)
    // and leaves the set empty; an empty text is an empty set.
    CKoError Parse(const string& text);
    // The text of the set, in its order.
    std::string Format() const;

    const std::vector<SAttribute>& Attributes() const;
    // False when the set has no attribute `key`.
    bool Get(const string& key, std::string& value) const;
    // Gives `key` the value, in place when the set has it, else at the end.
    // A key that could not be parsed back is error 87 (ERROR_INVALID_PARAMETER).
    CKoError Set(const string& key, const string& value);
    // False when the set had no attribute `key`.
    bool Remove(const string& key);

    // What changed from this set (the old one) to `newer`: the attributes
    // whose values differ and those this set has alone, in this set's order,
    // then those `newer` has alone, in its order.
    std::vector<SAttributeChange> Compare(const CAttributeSet& newer) const;

    // The same without a set, for hot loops: `attributes` is reused, and
    // left empty when false is answered.
    static bool Parse(const string& text, std::vector<SAttribute>& attributes);
    // Appends a value as it goes between the quotes.
    static void AppendEscaped(std::string& out, std::string_view value);

private:
    boost::shared_ptr<CAttributeSetPrivate> d;
};

}  // namespace CX
