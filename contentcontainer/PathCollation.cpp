#include "PathCollation.h"

namespace CX {

namespace {
constexpr unsigned kBackslash = 0x5C;

inline unsigned FoldAscii(unsigned c) { return c >= 'A' && c <= 'Z' ? c + 0x20 : c; }

// The one comparison loop of both collations; `fold` picks the case rule.
template <bool fold>
inline int32_t Compare(const char* a, const char* b, int32_t n)
{
    if (n <= 0)
        return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(a);
    const auto* q = reinterpret_cast<const unsigned char*>(b);
    unsigned c1;
    unsigned c2;
    int32_t compared = 0;
    do {
        c1 = *p++;
        c2 = *q++;
        if (fold) {
            c1 = FoldAscii(c1);
            c2 = FoldAscii(c2);
        }
        if (c1 == kBackslash && c2 != kBackslash)
            return -1;
        if (c2 == kBackslash && c1 != kBackslash)
            return 1;
        ++compared;
    } while (compared < n && c1 != 0 && c1 == c2);
    return static_cast<int32_t>(c1) - static_cast<int32_t>(c2);
}

template <bool fold>
inline int32_t Collate(int32_t length1, const void* data1, int32_t length2, const void* data2)
{
    const int32_t common = length1 < length2 ? length1 : length2;
    int32_t order = common > 0 ? Compare<fold>(static_cast<const char*>(data1), static_cast<const char*>(data2), common)
                               : 0;
    if (order == 0)
        order = length1 - length2;
    return order;
}
}  // namespace

int32_t path_strcmp(const char* a, const char* b, int32_t n) { return Compare<false>(a, b, n); }
int32_t path_stricmp(const char* a, const char* b, int32_t n) { return Compare<true>(a, b, n); }

int32_t sqlite_collation_bypath(void*, int32_t length1, const void* data1, int32_t length2, const void* data2)
{
    return Collate<false>(length1, data1, length2, data2);
}

int32_t sqlite_collation_bypath_nocase(void*, int32_t length1, const void* data1, int32_t length2, const void* data2)
{
    return Collate<true>(length1, data1, length2, data2);
}

}  // namespace CX
