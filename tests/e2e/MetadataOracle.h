// Runs the MetadataOracle program (tests/apps/MetadataOracle) under the machine's dotnet: what the
// real runtime's reflection calls each type and method of an assembly, by metadata token.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace MetadataOracle {

struct Output {
    std::string assemblyPath;  // the file reflection read
    // (token, name): "Namespace.Outer+Inner" for types, "...::Method" for methods.
    std::vector<std::pair<uint32_t, std::string>> names;
};

// `argument` is an assembly path, or "corelib" for the core library the runtime loaded. Failures
// to run or to parse are test failures. The oracle runs once per argument.
const Output& Run(const std::string& argument);

// The token the oracle gives `name`, or 0.
uint32_t TokenOf(const Output& output, const std::string& name);

}  // namespace MetadataOracle
