#include "ClassesView.h"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>

#include "Controller/ClassNamer.h"
#include "TextTable.h"

namespace Qvprof {

namespace {

// An array's module is its element's.
uint32_t ModuleIndexOf(const Controller::ClassTable& classes,
                       const Controller::ClassRecord& record) {
    const Controller::ClassRecord* pRecord = &record;
    for (size_t depth = 0; pRecord->IsArray() && depth < classes.Records().size(); ++depth) {
        const Controller::ClassRecord* pElement = classes.Find(pRecord->parent);
        if (pElement == nullptr) {
            break;
        }
        pRecord = pElement;
    }
    return pRecord->metadataIndex;
}

std::string ModuleName(const SnapshotContents& contents, uint32_t index) {
    if (index == 0) {
        return "";
    }
    const auto it = contents.Modules().find(index);
    if (it != contents.Modules().end() && !it->second.paths.empty()) {
        return std::filesystem::path(it->second.paths.front()).filename().string();
    }
    if (it != contents.Modules().end() && !it->second.name.empty()) {
        return it->second.name;
    }
    return fmt::format("[module {}]", index);
}

}  // namespace

std::string ClassesView::Write(const SnapshotContents& contents,
                               const ReportOptions& options) const {
    const Controller::ClassTable& classes = *contents.Classes();
    const Controller::ClassNamer namer(classes, contents.Names());
    std::vector<std::pair<std::string, std::string>> rows;
    for (const Controller::ClassRecord& record : classes.Records()) {
        rows.emplace_back(namer.Name(record.position),
                          ModuleName(contents, ModuleIndexOf(classes, record)));
    }
    std::sort(rows.begin(), rows.end());
    const size_t shown = options.limit == 0 ? rows.size() : std::min(options.limit, rows.size());
    TextTable table({{"class"}, {"module"}});
    for (size_t i = 0; i < shown; ++i) {
        table.AddRow({rows[i].first, rows[i].second});
    }
    std::string text = fmt::format("\nClasses ({}):\n", rows.size()) + table.Render();
    if (shown < rows.size()) {
        text += fmt::format("  ... and {} more (--limit 0 shows all)\n", rows.size() - shown);
    }
    return text;
}

}  // namespace Qvprof
