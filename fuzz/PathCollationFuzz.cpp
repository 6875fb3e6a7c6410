// The path collations over three texts cut from the input, each in a heap
// buffer of exactly its length with no NUL after it, so that a read past a
// length is caught. Both collations must order every text equal to itself,
// answer with opposite signs when the sides swap, and be transitive over the
// three; path_strcmp must stay within its count. Any breach aborts.
#include "PathCollation.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct Text {
    std::unique_ptr<char[]> bytes;
    int32_t length;
};

Text Cut(const uint8_t*& data, size_t& size, size_t wanted)
{
    const size_t length = wanted < size ? wanted : size;
    Text text{std::unique_ptr<char[]>(new char[length]), static_cast<int32_t>(length)};
    if (length != 0)
        std::memcpy(text.bytes.get(), data, length);
    data += length;
    size -= length;
    return text;
}

int Sign(int32_t value) { return (value > 0) - (value < 0); }

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "collation property broken: %s\n", what);
    std::abort();
}

typedef int32_t (*Collation)(void*, int32_t, const void*, int32_t, const void*);

int Order(Collation collation, const Text& a, const Text& b)
{
    return Sign(collation(nullptr, a.length, a.bytes.get(), b.length, b.bytes.get()));
}

void Check(Collation collation, const Text* texts[3])
{
    for (int i = 0; i < 3; ++i) {
        if (Order(collation, *texts[i], *texts[i]) != 0)
            Fail("a text is not equal to itself");
        for (int j = 0; j < 3; ++j) {
            if (Order(collation, *texts[i], *texts[j]) != -Order(collation, *texts[j], *texts[i]))
                Fail("swapping the sides does not flip the sign");
            for (int k = 0; k < 3; ++k) {
                const int ij = Order(collation, *texts[i], *texts[j]);
                const int jk = Order(collation, *texts[j], *texts[k]);
                const int ik = Order(collation, *texts[i], *texts[k]);
                if (ij <= 0 && jk <= 0 && ik > 0)
                    Fail("not transitive");
                if (ij == 0 && jk == 0 && ik != 0)
                    Fail("equality not transitive");
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t first = data[0];
    const size_t second = data[1];
    data += 2;
    size -= 2;
    const Text a = Cut(data, size, first);
    const Text b = Cut(data, size, second);
    const Text c = Cut(data, size, size);
    const Text* texts[3] = {&a, &b, &c};
    Check(&CX::sqlite_collation_bypath, texts);
    Check(&CX::sqlite_collation_bypath_nocase, texts);

    // Texts equal with case are equal without it.
    for (const Text* x : texts)
        for (const Text* y : texts)
            if (Order(&CX::sqlite_collation_bypath, *x, *y) == 0 &&
                Order(&CX::sqlite_collation_bypath_nocase, *x, *y) != 0)
                Fail("equal texts differ once case is folded");

    // The plain functions read no more than their count.
    const int32_t common = a.length < b.length ? a.length : b.length;
    const int32_t plain = CX::path_strcmp(a.bytes.get(), b.bytes.get(), common);
    const int32_t folded = CX::path_stricmp(a.bytes.get(), b.bytes.get(), common);
    if (common == 0 && (plain != 0 || folded != 0))
        Fail("a count of 0 compares something");
    return 0;
}
