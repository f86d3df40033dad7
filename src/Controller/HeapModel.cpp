#include "Controller/HeapModel.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <tuple>
#include <unordered_map>

#include "Controller/MetaDataSection.h"
#include "Controller/SectionTypes.h"

namespace Controller {

namespace {

constexpr const char* RootKinds[] = {"other", "stack", "finalizer", "handle"};
constexpr const char* RootFlags[] = {"pinning", "weak", "interior", "refcounted"};

template <class T>
void SortByCount(std::vector<T>& items) {
    std::sort(items.begin(), items.end(), [](const T& a, const T& b) {
        return a.count != b.count ? a.count > b.count : a.name < b.name;
    });
}

std::vector<HeapModel::NamedCount> ToList(const std::map<std::string, uint64_t>& counts) {
    std::vector<HeapModel::NamedCount> list;
    for (const auto& [name, count] : counts) {
        list.push_back({name, count});
    }
    SortByCount(list);
    return list;
}

}  // namespace

HeapModel HeapModel::Build(const Snapshot& snapshot) {
    HeapModel model;
    model.m_pClasses = std::make_unique<ClassTable>();
    const SnapshotSection* pClassData = snapshot.FindSection(ClassDataSectionType);
    const SnapshotSection* pClassIndex = snapshot.FindSection(ClassIndexSectionType);
    if (pClassData != nullptr && pClassIndex != nullptr) {
        *model.m_pClasses = ClassTable::Read(*pClassData, *pClassIndex);
    }
    model.m_pNames = std::make_unique<MetaDataNameResolver>();
    if (const SnapshotSection* pMetaData = snapshot.FindSection(MetaDataSectionType)) {
        for (MetaDataRecord& record : ReadMetaDataSection(*pMetaData)) {
            model.m_pNames->Add(record.index, std::move(record.blob));
        }
    }
    model.m_pNamer = std::make_unique<ClassNamer>(*model.m_pClasses, *model.m_pNames);
    model.m_Heap = ReadHeapSnapshot(snapshot, *model.m_pClasses);

    for (size_t i = 0; i < model.m_Heap.collections.size(); ++i) {
        const HeapCollection& collection = model.m_Heap.collections[i];
        CollectionSummary summary;
        summary.index = i;
        summary.collected = collection.collected;
        summary.induced = collection.reason == 1;
        summary.heapsAtStart = collection.heapsAtStart;
        summary.heapsAtEnd = collection.heapsAtEnd;
        summary.movedRanges = collection.moved.size();
        summary.survivingRanges = collection.surviving.size();
        summary.finalizers = collection.finalizers.size();
        summary.dump = collection.IsDump();
        model.m_Collections.push_back(std::move(summary));
        if (collection.IsDump()) {
            model.m_Dumps.push_back(model.BuildDump(i, collection));
        }
    }
    model.BuildAllocations();
    return model;
}

HeapModel::Dump HeapModel::BuildDump(size_t index, const HeapCollection& collection) const {
    Dump dump;
    dump.collection = index;
    dump.objects = collection.objects.size();
    // Names are made once per class position and per field record.
    std::unordered_map<int64_t, std::string> classNames;
    auto className = [&](int64_t position) -> const std::string& {
        auto found = classNames.find(position);
        if (found == classNames.end()) {
            found = classNames.emplace(position, ClassName(position)).first;
        }
        return found->second;
    };
    std::unordered_map<uint64_t, int64_t> classOf;
    classOf.reserve(collection.objects.size());
    // Counted by class position first: a name is made once per class, not once per object.
    std::unordered_map<int64_t, ClassCount> byPosition;
    for (const HeapObject& object : collection.objects) {
        classOf.emplace(object.id, object.classPosition);
        ClassCount& entry = byPosition[object.classPosition];
        ++entry.count;
        entry.bytes += object.size;
        dump.bytes += object.size;
    }
    std::map<std::string, ClassCount> classes;
    for (const auto& [position, counted] : byPosition) {
        ClassCount& entry = classes[className(position)];
        entry.count += counted.count;
        entry.bytes += counted.bytes;
    }
    for (auto& [name, entry] : classes) {
        entry.name = name;
        dump.classes.push_back(entry);
    }
    std::sort(dump.classes.begin(), dump.classes.end(),
              [](const ClassCount& a, const ClassCount& b) {
                  return std::tie(b.bytes, b.count, a.name) < std::tie(a.bytes, a.count, b.name);
              });

    // References are counted by (class position, field position, class position), with
    // ElementKey and NoFieldKey for references without a field record and UnknownKey for a
    // target outside the dump, and named once per distinct triple.
    constexpr int64_t ElementKey = -2;
    constexpr int64_t NoFieldKey = -3;
    constexpr int64_t UnknownKey = std::numeric_limits<int64_t>::min();
    std::map<std::tuple<int64_t, int64_t, int64_t>, uint64_t> counted;
    for (const HeapObject& object : collection.objects) {
        for (const HeapReference& reference : object.references) {
            const int64_t field = reference.field != -1                           ? reference.field
                                  : reference.element != HeapReference::NoElement ? ElementKey
                                                                                  : NoFieldKey;
            const auto target = classOf.find(reference.target);
            ++counted[{object.classPosition, field,
                       target == classOf.end() ? UnknownKey : target->second}];
        }
    }
    std::map<std::tuple<std::string, std::string, std::string>, uint64_t> references;
    for (const auto& [key, count] : counted) {
        const auto [from, field, to] = key;
        references[{className(from),
                    field == ElementKey   ? std::string(ElementField)
                    : field == NoFieldKey ? std::string(NoField)
                                          : FieldName(collection, field),
                    to == UnknownKey ? std::string(UnknownObject) : className(to)}] += count;
    }
    for (const auto& [key, count] : references) {
        dump.references.push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key), count});
    }
    std::sort(dump.references.begin(), dump.references.end(),
              [](const FieldReferences& a, const FieldReferences& b) {
                  return std::tie(b.count, a.fromClass, a.field, a.toClass) <
                         std::tie(a.count, b.fromClass, b.field, b.toClass);
              });

    std::map<std::string, uint64_t> roots;
    std::map<std::string, uint64_t> functions;
    for (const HeapRoot& root : collection.roots) {
        ++roots[RootKindName(root.kind, root.flags)];
        if (root.kind == 1) {
            ++functions[FunctionName(root.metadataIndex, root.token)];
        }
    }
    dump.roots = ToList(roots);
    dump.stackRootFunctions = ToList(functions);
    return dump;
}

void HeapModel::BuildAllocations() {
    std::map<std::vector<std::string>, uint64_t> stacks;
    for (const SampledAllocation& allocation : m_Heap.allocations) {
        std::vector<std::string> frames;
        for (const StackFrame& frame : allocation.stack) {
            frames.push_back(FunctionName(frame.metadataIndex, frame.token));
        }
        ++stacks[frames];
    }
    for (const auto& [frames, count] : stacks) {
        m_Allocations.push_back({frames, count});
    }
    std::stable_sort(
        m_Allocations.begin(), m_Allocations.end(),
        [](const AllocationStack& a, const AllocationStack& b) { return a.count > b.count; });
}

std::string HeapModel::FieldName(const HeapCollection& collection, int64_t position) const {
    std::string name;
    // Inner records lie before the records that name them, so the chain ends.
    for (auto found = collection.fields.find(position); found != collection.fields.end();
         found = collection.fields.find(found->second.inner)) {
        const std::string part =
            m_pNames->FieldName(found->second.metadataIndex, found->second.token);
        name += name.empty() ? part : "." + part;
        if (found->second.inner == -1) {
            break;
        }
    }
    return name.empty() ? std::string(NoField) : name;
}

std::string HeapModel::FunctionName(uint32_t metadataIndex, uint32_t token) const {
    if (metadataIndex == 0 && (token >> 24) == 0xFF) {
        return "[no function]";
    }
    return m_pNames->FunctionName(metadataIndex, token);
}

std::string HeapModel::RootKindName(uint8_t kind, uint8_t flags) {
    std::string name =
        kind < std::size(RootKinds) ? RootKinds[kind] : "kind " + std::to_string(kind);
    std::string flagText;
    for (size_t bit = 0; bit < std::size(RootFlags); ++bit) {
        if ((flags & (1u << bit)) != 0) {
            flagText += flagText.empty() ? RootFlags[bit] : std::string(", ") + RootFlags[bit];
        }
    }
    const unsigned unknown = flags & ~((1u << std::size(RootFlags)) - 1);
    if (unknown != 0) {
        char text[8];
        std::snprintf(text, sizeof text, "%#04x", unknown);
        flagText += (flagText.empty() ? "" : ", ") + std::string(text);
    }
    return flagText.empty() ? name : name + " (" + flagText + ")";
}

}  // namespace Controller
