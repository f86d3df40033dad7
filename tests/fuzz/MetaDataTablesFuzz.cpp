// Feeds arbitrary bytes to the controller's metadata reader as a module's metadata blob, then asks
// for every name it can give. Nothing may crash, hang or read outside the blob; the reader may
// raise, and the resolver must answer every question with a name or a fallback text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "Controller/MetaDataNameResolver.h"
#include "Controller/MetaDataTables.h"

using Controller::MetaDataNameResolver;
using Controller::MetaDataTable;

namespace {

// Enough rows to reach every table's data without making one input take seconds.
constexpr uint32_t MaxRowsAsked = 512;

void AskEveryName(const MetaDataNameResolver& resolver, const Controller::MetaDataTables& tables) {
    const struct {
        MetaDataTable table;
        uint32_t tokenBase;
    } kinds[] = {{MetaDataTable::TypeRef, 0x01000000},
                 {MetaDataTable::TypeDef, 0x02000000},
                 {MetaDataTable::Field, 0x04000000},
                 {MetaDataTable::MethodDef, 0x06000000}};
    for (const auto& kind : kinds) {
        // One past the last row as well, which must fall back.
        const uint32_t rows = std::min(tables.RowCount(kind.table), MaxRowsAsked) + 1;
        for (uint32_t row = 0; row <= rows; ++row) {
            const uint32_t token = kind.tokenBase | row;
            resolver.TypeName(1, token);
            resolver.TypeNameWithoutArity(1, token);
            resolver.FunctionName(1, token);
            resolver.FieldName(1, token);
            resolver.GenericParameterNames(1, token);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MetaDataNameResolver resolver;
    resolver.Add(1, std::vector<BYTE>(data, data + size));
    if (const Controller::MetaDataTables* pTables = resolver.Tables(1)) {
        try {
            pTables->Mvid();
        } catch (const std::exception&) {
        }
        AskEveryName(resolver, *pTables);
    }
    return 0;
}
