#include "IndexSettings.h"

namespace cxcli {

namespace {

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

void ReadIndexSettings(CX::CContentContainerDatabase& db, IndexOptions& options)
{
    std::string value;
    if (!db.GetValue("Checksum", value).IsError() && !value.empty())
        options.checksum = value != "none";
    value.clear();
    if (!db.GetValue("OneFileSystem", value).IsError() && !value.empty())
        options.oneFileSystem = value == "true";
    value.clear();
    if (!db.GetValue("ExcludeRules", value).IsError()) {
        CX::CExcludeRules rules;
        std::string problem;
        bool readable = true;
        for (const auto& line : SplitLines(value))
            readable = readable && rules.AddLine(line, problem);
        if (readable)
            options.excludes = rules;
    }
    value.clear();
    if (!db.GetValue("Collects", value).IsError())
        options.collects = SplitLines(value);
}

}  // namespace cxcli
