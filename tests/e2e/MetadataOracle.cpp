#include "MetadataOracle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>

#include "ChildProcess.h"

namespace MetadataOracle {

namespace {

Output RunOracle(const std::string& argument) {
    ChildProcess child({QV_DOTNET, QV_METADATA_ORACLE_DLL, argument});
    child.RemoveVariablesStartingWith("CORECLR_");
    child.RemoveVariablesStartingWith("DOTNET_ProfAPI");
    child.SetVariable("DOTNET_CLI_TELEMETRY_OPTOUT", "1");
    const ChildProcess::Result result = child.Run(std::chrono::seconds(180));
    EXPECT_TRUE(result.started) << result.error;
    EXPECT_EQ(0, result.exitCode) << result.err;

    Output output;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            ADD_FAILURE() << "oracle line without a tab: " << line;
            continue;
        }
        if (line.compare(0, tab, "#") == 0) {
            output.assemblyPath = line.substr(tab + 1);
        } else {
            output.names.emplace_back(std::stoul(line.substr(0, tab), nullptr, 16),
                                      line.substr(tab + 1));
        }
    }
    return output;
}

}  // namespace

const Output& Run(const std::string& argument) {
    // Each assembly once per test program: the oracle takes seconds to start.
    static std::map<std::string, Output> outputs;
    auto it = outputs.find(argument);
    if (it == outputs.end()) {
        it = outputs.emplace(argument, RunOracle(argument)).first;
    }
    return it->second;
}

uint32_t TokenOf(const Output& output, const std::string& name) {
    for (const auto& [token, text] : output.names) {
        if (text == name) {
            return token;
        }
    }
    return 0;
}

}  // namespace MetadataOracle
