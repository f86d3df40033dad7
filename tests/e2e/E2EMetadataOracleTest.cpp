// The controller's names of types and methods, read from raw metadata blobs, against the names the
// real runtime's reflection gives the same tokens (the MetadataOracle program).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Bridge/FileBridgeStream.h"
#include "Controller/MetaDataNameResolver.h"
#include "MetadataOracle.h"
#include "Profiler/ModuleImageReader.h"
#include "support/FrameworkAssemblies.h"

using Controller::MetaDataNameResolver;
using Controller::MetaDataTable;

namespace {

constexpr uint32_t MetadataIndex = 3;
constexpr size_t ExampleCount = 5;

std::vector<BYTE> ReadBlob(const std::filesystem::path& path) {
    FileBridgeStream stream;
    stream.Open(WidePath(path), FileBridgeStream::AccessRead);
    std::vector<BYTE> blob;
    EXPECT_TRUE(ReadModuleMetaData(stream, blob)) << path;
    return blob;
}

struct Comparison {
    size_t types = 0;
    size_t methods = 0;
    size_t mismatches = 0;
    std::string examples;
};

// Resolves every oracle line's token and counts the names that differ from reflection's.
Comparison Compare(const MetadataOracle::Output& oracle, const MetaDataNameResolver& resolver) {
    Comparison comparison;
    for (const auto& [token, expected] : oracle.names) {
        std::string actual;
        if ((token >> 24) == static_cast<uint32_t>(MetaDataTable::TypeDef)) {
            ++comparison.types;
            actual = resolver.TypeName(MetadataIndex, token);
        } else {
            ++comparison.methods;
            actual = resolver.FunctionName(MetadataIndex, token);
        }
        if (actual != expected) {
            if (++comparison.mismatches <= ExampleCount) {
                char text[16];
                std::snprintf(text, sizeof(text), "%08X", token);
                comparison.examples += std::string("\n  ") + text + " reflection '" + expected +
                                       "' resolver '" + actual + "'";
            }
        }
    }
    return comparison;
}

}  // namespace

// The core library, the facade next to it (mostly forwarders, few definitions) and the sample.
TEST(E2EMetadataOracle, NamesMatchReflection) {
    const std::string facade =
        (std::filesystem::path(MetadataOracle::Run("corelib").assemblyPath).parent_path() /
         "System.Runtime.dll")
            .string();
    const struct {
        std::string argument;
        size_t minimumTypes, minimumMethods;
    } assemblies[] = {{"corelib", 1000, 10000}, {facade, 0, 0}, {QV_SAMPLE_DLL, 6, 10}};
    std::optional<MetaDataNameResolver> last;
    for (const auto& assembly : assemblies) {
        SCOPED_TRACE(assembly.argument);
        const MetadataOracle::Output& oracle = MetadataOracle::Run(assembly.argument);
        ASSERT_FALSE(oracle.assemblyPath.empty());
        MetaDataNameResolver& resolver = last.emplace();
        resolver.Add(MetadataIndex, ReadBlob(oracle.assemblyPath));
        EXPECT_EQ("", resolver.LoadError(MetadataIndex));
        const Comparison comparison = Compare(oracle, resolver);
        std::printf("[ oracle   ] %s: %zu types and %zu methods compared, %zu mismatches\n",
                    std::filesystem::path(oracle.assemblyPath).filename().c_str(), comparison.types,
                    comparison.methods, comparison.mismatches);
        EXPECT_EQ(0u, comparison.mismatches) << comparison.examples;
        EXPECT_GE(comparison.types, assembly.minimumTypes);
        EXPECT_GE(comparison.methods, assembly.minimumMethods);
    }

    // The sample's worker threads' start lambda lives in a compiler-made class nested in Workload.
    const MetaDataNameResolver& resolver = *last;
    ASSERT_NE(nullptr, resolver.Tables(MetadataIndex));
    bool lambdaInWorkload = false;
    const uint32_t methods = resolver.Tables(MetadataIndex)->RowCount(MetaDataTable::MethodDef);
    for (uint32_t row = 1; row <= methods; ++row) {
        lambdaInWorkload |=
            resolver.FunctionName(MetadataIndex, 0x06000000 | row).rfind("Sample.Workload+", 0) ==
            0;
    }
    EXPECT_TRUE(lambdaInWorkload);
    // Types the sample uses from the framework appear as references.
    std::set<std::string> references;
    const uint32_t rows = resolver.Tables(MetadataIndex)->RowCount(MetaDataTable::TypeRef);
    for (uint32_t row = 1; row <= rows; ++row) {
        references.insert(resolver.TypeName(MetadataIndex, 0x01000000 | row));
    }
    for (const char* pName : {"System.Collections.Generic.List`1",
                              "System.InvalidOperationException", "System.Threading.Thread"}) {
        EXPECT_EQ(1u, references.count(pName)) << pName;
    }
}
