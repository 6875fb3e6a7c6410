// A comparison's callback for the tests: records every call, in order.
#pragma once

#include "CompareContentContainersCallback.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using Events = std::vector<std::string>;

// Records every call, in order. A form outside `implemented` answers as the
// base class does and is recorded with " -> 50".
class Recorder : public CX::CCompareContentContainersCallback {
public:
    using Base = CX::CCompareContentContainersCallback;
    enum Form : unsigned { F1 = 1, F1R = 2, File1 = 4, F2 = 8, F2R = 16, File2 = 32, B = 64, BR = 128, FileB = 256 };
    unsigned implemented = F1 | File1 | F2 | File2 | B | FileB;
    std::function<void(const string& folder, bool& recurse)> steer;  // for the `recurse` forms
    int failOnCall = 0;                                               // 1-based; 0 never
    bool throwOnFail = false;
    int abortOnCheck = 0;  // IsAborted answers true from this check on; 0 never
    int abortChecks = 0;
    Events events;

    bool IsAborted() override { return ++abortChecks == abortOnCheck || (abortOnCheck && abortChecks > abortOnCheck); }

    CKoError OnFolderInIndex1(const string& n, const string& m) override
    {
        return Event(F1, "folder1 " + n + " {" + m + "}", [&] { return Base::OnFolderInIndex1(n, m); });
    }
    CKoError OnFolderInIndex1(const string& n, const string& m, bool& r) override
    {
        return Event(F1R, "folder1r " + n + " {" + m + "}" + In(r), [&] { return Base::OnFolderInIndex1(n, m, r); },
                     n, &r);
    }
    CKoError OnFileInIndex1(const string& p, const string& n, const string& f, const string& m) override
    {
        return Event(File1, "file1 " + Path(p, n, f) + " {" + m + "}",
                     [&] { return Base::OnFileInIndex1(p, n, f, m); });
    }
    CKoError OnFolderInIndex2(const string& n, const string& m) override
    {
        return Event(F2, "folder2 " + n + " {" + m + "}", [&] { return Base::OnFolderInIndex2(n, m); });
    }
    CKoError OnFolderInIndex2(const string& n, const string& m, bool& r) override
    {
        return Event(F2R, "folder2r " + n + " {" + m + "}" + In(r), [&] { return Base::OnFolderInIndex2(n, m, r); },
                     n, &r);
    }
    CKoError OnFileInIndex2(const string& p, const string& n, const string& f, const string& m) override
    {
        return Event(File2, "file2 " + Path(p, n, f) + " {" + m + "}",
                     [&] { return Base::OnFileInIndex2(p, n, f, m); });
    }
    CKoError OnFolderInBothIndexes(const string& n, const string& m1, const string& m2) override
    {
        return Event(B, "folder= " + n + " {" + m1 + "} {" + m2 + "}",
                     [&] { return Base::OnFolderInBothIndexes(n, m1, m2); });
    }
    CKoError OnFolderInBothIndexes(const string& n, const string& m1, const string& m2, bool& r) override
    {
        return Event(BR, "folder=r " + n + " {" + m1 + "} {" + m2 + "}" + In(r),
                     [&] { return Base::OnFolderInBothIndexes(n, m1, m2, r); }, n, &r);
    }
    CKoError OnFileInBothIndexes(const string& p, const string& n, const string& f, const string& m1,
                                 const string& m2) override
    {
        return Event(FileB, "file= " + Path(p, n, f) + " {" + m1 + "} {" + m2 + "}",
                     [&] { return Base::OnFileInBothIndexes(p, n, f, m1, m2); });
    }

private:
    static std::string In(bool recurse) { return recurse ? " recurse" : " norecurse"; }
    static std::string Path(const string& filePath, const string& folder, const string& file)
    {
        EXPECT_EQ(filePath, folder + file);
        return folder + "|" + file;
    }
    CKoError Event(unsigned form, const std::string& text, const std::function<CKoError()>& fallback,
                   const string& folder = "", bool* recurse = nullptr)
    {
        if (!(implemented & form)) {
            events.push_back(text + " -> 50");
            return fallback();
        }
        events.push_back(text);
        if (recurse && steer)
            steer(folder, *recurse);
        if (static_cast<int>(events.size()) == failOnCall) {
            if (throwOnFail)
                throw std::runtime_error("host failure");
            return FXErrorUtil::ErrorWin32(FX_LOCATION, 1, "host failure");
        }
        return CKoError::Success();
    }
};

