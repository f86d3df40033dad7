#include "HeapView.h"

#include <fmt/format.h>

#include <algorithm>

#include "ProfileText.h"
#include "TextTable.h"

namespace Qvprof {

namespace {

size_t Shown(size_t limit, size_t rows) {
    return limit == 0 ? rows : std::min(limit, rows);
}

std::string More(size_t shown, size_t rows) {
    return shown < rows ? fmt::format("  ... and {} more (--limit 0 shows all)\n", rows - shown)
                        : std::string();
}

std::string CountTable(const char* title,
                       const std::vector<Controller::HeapModel::NamedCount>& rows, size_t limit) {
    const size_t shown = Shown(limit, rows.size());
    TextTable table({{"count", TextTable::Align::Right}, {title}});
    for (size_t i = 0; i < shown; ++i) {
        table.AddRow({std::to_string(rows[i].count), rows[i].name});
    }
    return table.Render() + More(shown, rows.size());
}

std::string DumpText(const Controller::HeapModel::Dump& dump, size_t number, size_t dumps,
                     const ReportOptions& options) {
    std::string text = fmt::format("\nHeap dump {} of {} (collection {}): {} objects, {} bytes\n",
                                   number, dumps, dump.collection + 1, dump.objects, dump.bytes);
    const size_t shown = Shown(options.limit, dump.classes.size());
    TextTable classes({{"bytes", TextTable::Align::Right},
                       {"%", TextTable::Align::Right},
                       {"objects", TextTable::Align::Right},
                       {"class"}});
    for (size_t i = 0; i < shown; ++i) {
        const auto& row = dump.classes[i];
        classes.AddRow({std::to_string(row.bytes), ProfileText::Percent(row.bytes, dump.bytes),
                        std::to_string(row.count), row.name});
    }
    text += "Classes by bytes:\n" + classes.Render() + More(shown, dump.classes.size());
    if (!dump.roots.empty()) {
        text += "Roots by kind:\n" + CountTable("kind", dump.roots, options.limit);
    }
    if (!dump.stackRootFunctions.empty()) {
        text += "Functions holding stack roots:\n" +
                CountTable("function", dump.stackRootFunctions, options.limit);
    }
    if (!dump.references.empty()) {
        const size_t refs = Shown(options.limit, dump.references.size());
        TextTable references({{"count", TextTable::Align::Right}, {"from"}, {"field"}, {"to"}});
        for (size_t i = 0; i < refs; ++i) {
            const auto& row = dump.references[i];
            references.AddRow({std::to_string(row.count), row.fromClass, row.field, row.toClass});
        }
        text += "References by field:\n" + references.Render() + More(refs, dump.references.size());
    }
    return text;
}

}  // namespace

std::string HeapView::Write(const SnapshotContents& contents, const ReportOptions& options) const {
    const Controller::HeapModel& heap = *contents.Heap();
    size_t induced = 0;
    for (const auto& collection : heap.Collections()) {
        induced += collection.induced ? 1 : 0;
    }
    std::string text = fmt::format("\nCollections: {} ({} induced), heap dumps: {}\n",
                                   heap.Collections().size(), induced, heap.Dumps().size());
    for (size_t i = 0; i < heap.Dumps().size(); ++i) {
        text += DumpText(heap.Dumps()[i], i + 1, heap.Dumps().size(), options);
    }
    return text;
}

}  // namespace Qvprof
