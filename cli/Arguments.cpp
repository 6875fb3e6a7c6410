#include "Arguments.h"

#include "Output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace cxcli {

bool AbsolutePath(const std::string& argument, std::string& path, bool& folderOnly)
{
    if (argument.empty()) {
        std::fprintf(stderr, "cx: the path is empty\n");
        return false;
    }
    std::string full;
    if (argument.front() != '/') {
        std::vector<char> buffer(4096);
        while (getcwd(buffer.data(), buffer.size()) == nullptr) {
            if (errno != ERANGE) {
                Fail(".", std::strerror(errno));
                return false;
            }
            buffer.resize(buffer.size() * 2);
        }
        full = buffer.data();
        full += '/';
    }
    full += argument;
    std::vector<std::string> parts;
    std::string last;
    for (size_t start = 0; start <= full.size();) {
        size_t slash = full.find('/', start);
        if (slash == std::string::npos)
            slash = full.size();
        last = full.substr(start, slash - start);
        if (last == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!last.empty() && last != ".") {
            parts.push_back(last);
        }
        start = slash + 1;
    }
    folderOnly = parts.empty() || last.empty() || last == "." || last == "..";
    path.clear();
    for (const auto& part : parts)
        path += "/" + part;
    if (path.empty())
        path = "/";
    return true;
}

bool CheckContainer(const std::string& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        Fail(path, errno == ENOENT ? "no such file" : std::strerror(errno));
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        Fail(path, "is a directory, not a container");
        return false;
    }
    if (S_ISREG(status.st_mode) && status.st_size == 0) {
        Fail(path, "not a content container (an empty file)");
        return false;
    }
    if (access(path.c_str(), R_OK) != 0) {
        Fail(path, std::strerror(errno));
        return false;
    }
    return true;
}

std::unique_ptr<CX::CContentContainerDatabase> OpenForReading(const std::string& container)
{
    if (!CheckContainer(container))
        return nullptr;
    auto db = std::make_unique<CX::CContentContainerDatabase>(container, true);
    if (db->GetConstructionError().IsError()) {
        Fail(container, Cause(db->GetConstructionError()));
        return nullptr;
    }
    return db;
}

}  // namespace cxcli
