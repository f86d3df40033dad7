// The controller's names of types and methods, read from raw metadata blobs, against the names the
// real runtime's reflection gives the same tokens (the MetadataOracle program).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Bridge/FileBridgeStream.h"
#include "MetadataOracle.h"
#include "Controller/MetaDataNameResolver.h"
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

// Runs the oracle on the assembly, resolves its blob and expects every name to agree; returns the
// resolver for further checks.
MetaDataNameResolver CheckAgainstOracle(const std::string& argument, size_t minimumTypes,
                                        size_t minimumMethods) {
    const MetadataOracle::Output oracle = MetadataOracle::Run(argument);
    EXPECT_FALSE(oracle.assemblyPath.empty());
    MetaDataNameResolver resolver;
    resolver.Add(MetadataIndex, ReadBlob(oracle.assemblyPath));
    EXPECT_EQ("", resolver.LoadError(MetadataIndex));

    const Comparison comparison = Compare(oracle, resolver);
    std::printf("[ oracle   ] %s: %zu types and %zu methods compared, %zu mismatches\n",
                std::filesystem::path(oracle.assemblyPath).filename().c_str(), comparison.types,
                comparison.methods, comparison.mismatches);
    EXPECT_EQ(0u, comparison.mismatches) << comparison.examples;
    EXPECT_GE(comparison.types, minimumTypes);
    EXPECT_GE(comparison.methods, minimumMethods);
    return resolver;
}

// Every MethodDef name the resolver gives for the module, found without the oracle.
std::set<std::string> AllFunctionNames(const MetaDataNameResolver& resolver) {
    std::set<std::string> names;
    const uint32_t rows = resolver.Tables(MetadataIndex)->RowCount(MetaDataTable::MethodDef);
    for (uint32_t row = 1; row <= rows; ++row) {
        names.insert(resolver.FunctionName(MetadataIndex, 0x06000000 | row));
    }
    return names;
}

}  // namespace

TEST(E2EMetadataOracle, CoreLibraryNamesMatchReflection) {
    CheckAgainstOracle("corelib", 1000, 10000);
}

TEST(E2EMetadataOracle, SystemRuntimeNamesMatchReflection) {
    // The facade next to the core library this runtime loads: mostly forwarders, few definitions.
    const MetadataOracle::Output coreLib = MetadataOracle::Run("corelib");
    ASSERT_FALSE(coreLib.assemblyPath.empty());
    const auto path =
        std::filesystem::path(coreLib.assemblyPath).parent_path() / "System.Runtime.dll";
    CheckAgainstOracle(path.string(), 0, 0);
}

TEST(E2EMetadataOracle, SampleNamesMatchReflectionAndSource) {
    const MetaDataNameResolver resolver = CheckAgainstOracle(QV_SAMPLE_DLL, 6, 10);
    ASSERT_NE(nullptr, resolver.Tables(MetadataIndex));

    // Names stated in the sample's Program.cs.
    const std::set<std::string> functions = AllFunctionNames(resolver);
    for (const char* pName :
         {"Sample.Program::Main", "Sample.Workload::Run", "Sample.Worker::Compute",
          "Sample.Worker::Fib", "Sample.Allocator::Fill", "Sample.Allocator::MakeItem",
          "Sample.Faults::ThrowAndCatch", "Sample.Faults::Fail"}) {
        EXPECT_EQ(1u, functions.count(pName)) << pName;
    }
    // The worker threads' start lambda lives in a compiler-made class nested in Workload.
    bool lambdaInWorkload = false;
    for (const std::string& name : functions) {
        lambdaInWorkload |= name.rfind("Sample.Workload+", 0) == 0;
    }
    EXPECT_TRUE(lambdaInWorkload);

    // Types the sample uses from the framework appear as references.
    std::set<std::string> references;
    const uint32_t rows = resolver.Tables(MetadataIndex)->RowCount(MetaDataTable::TypeRef);
    for (uint32_t row = 1; row <= rows; ++row) {
        references.insert(resolver.TypeName(MetadataIndex, 0x01000000 | row));
    }
    EXPECT_EQ(1u, references.count("System.Collections.Generic.List`1"));
    EXPECT_EQ(1u, references.count("System.InvalidOperationException"));
    EXPECT_EQ(1u, references.count("System.Threading.Thread"));
}
