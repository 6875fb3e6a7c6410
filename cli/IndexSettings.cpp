#include "IndexSettings.h"

namespace cxcli {

namespace {

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += (text.empty() ? "" : "\n") + line;
    return text;
}

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

CKoError RecordIndexSettings(CX::CContentContainerDatabase& db, const IndexOptions& options)
{
    CKoError error = db.SetValue("Checksum", options.checksum ? "xxh128" : "none");
    if (!error.IsError())
        error = db.SetValue("OneFileSystem", options.oneFileSystem ? "true" : "false");
    if (!error.IsError())
        error = db.SetValue("ExcludeRules", options.excludes.Text());
    if (!error.IsError())
        error = db.SetValue("Collects", JoinLines(options.collects));
    return error;
}

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
        ExcludeRules rules;
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
