#include "ModulesView.h"

#include <fmt/format.h>

#include "TextTable.h"

namespace Qvprof {

std::string ModulesView::Write(const SnapshotContents& contents, const ReportOptions&) const {
    const bool classes = contents.Classes().has_value();
    const bool functions = contents.Profile().has_value();
    std::vector<TextTable::Column> columns = {{"index", TextTable::Align::Right},
                                              {"types", TextTable::Align::Right},
                                              {"methods", TextTable::Align::Right}};
    if (functions) {
        columns.push_back({"functions", TextTable::Align::Right});
    }
    if (classes) {
        columns.push_back({"classes", TextTable::Align::Right});
    }
    columns.push_back({"path"});
    TextTable table(std::move(columns));
    for (const auto& [index, module] : contents.Modules()) {
        std::string where;
        for (const std::string& path : module.paths) {
            where += (where.empty() ? "" : ", ") + path;
        }
        if (where.empty()) {
            // Memory snapshots record no paths; the metadata still names the module.
            where = module.name.empty() ? "[no file]" : module.name + " [no path recorded]";
        }
        if (!module.hasMetadata) {
            where += " (the snapshot carries no metadata for it)";
        } else if (!module.metadataError.empty()) {
            where += " (metadata unreadable: " + module.metadataError + ")";
        }
        std::vector<std::string> row = {std::to_string(index),
                                        std::to_string(module.typeDefinitions),
                                        std::to_string(module.methodDefinitions)};
        if (functions) {
            row.push_back(std::to_string(module.measuredFunctions));
        }
        if (classes) {
            row.push_back(std::to_string(module.recordedClasses));
        }
        row.push_back(where);
        table.AddRow(std::move(row));
    }
    return fmt::format("\nModules ({}):\n", contents.Modules().size()) + table.Render();
}

}  // namespace Qvprof
