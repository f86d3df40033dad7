// The log's components: each has an index, a name and a bit in a ComponentMask (1 << index).
// Bits 2, 15, 30 and 31 name no component and are ignored everywhere.
#pragma once

#include "Platform/Types.h"

using ComponentMask = DWORD;

enum class LogComponent : unsigned {
    Bridge = 0,
    Api = 1,
    DumpGt = 3,
    MetaDataGt = 4,
    PdbGt = 5,
    ModulePathGt = 6,
    InstrumentationGt = 7,
    ThreadGt = 8,
    PerformanceSamplingGt = 9,
    SignatureGt = 10,
    CoverageGroupGt = 11,
    InstrumentationEp = 12,
    FunctionEp = 13,
    MapperEp = 14,
    AppDomainCb = 16,
    AssemblyCb = 17,
    ClassCb = 18,
    ExceptionCb = 19,
    ExceptionClrCb = 20,
    FunctionCb = 21,
    GcCb = 22,
    HandleCb = 23,
    ModuleCb = 24,
    RemotingCb = 25,
    RuntimeCb = 26,
    ThreadCb = 27,
    TransitionCb = 28,
    VTableCb = 29,
};

constexpr unsigned LOG_COMPONENT_COUNT = 28;
// One past the highest component index.
constexpr unsigned LOG_COMPONENT_INDEX_LIMIT = 30;

struct LogComponentInfo {
    LogComponent component;
    const char* pName;
};

// Every component in index order.
inline constexpr LogComponentInfo LOG_COMPONENTS[LOG_COMPONENT_COUNT] = {
    {LogComponent::Bridge, "Bridge"},
    {LogComponent::Api, "Api"},
    {LogComponent::DumpGt, "DumpGt"},
    {LogComponent::MetaDataGt, "MetaDataGt"},
    {LogComponent::PdbGt, "PdbGt"},
    {LogComponent::ModulePathGt, "ModulePathGt"},
    {LogComponent::InstrumentationGt, "InstrumentationGt"},
    {LogComponent::ThreadGt, "ThreadGt"},
    {LogComponent::PerformanceSamplingGt, "PerformanceSamplingGt"},
    {LogComponent::SignatureGt, "SignatureGt"},
    {LogComponent::CoverageGroupGt, "CoverageGroupGt"},
    {LogComponent::InstrumentationEp, "InstrumentationEp"},
    {LogComponent::FunctionEp, "FunctionEp"},
    {LogComponent::MapperEp, "MapperEp"},
    {LogComponent::AppDomainCb, "AppDomainCb"},
    {LogComponent::AssemblyCb, "AssemblyCb"},
    {LogComponent::ClassCb, "ClassCb"},
    {LogComponent::ExceptionCb, "ExceptionCb"},
    {LogComponent::ExceptionClrCb, "ExceptionClrCb"},
    {LogComponent::FunctionCb, "FunctionCb"},
    {LogComponent::GcCb, "GcCb"},
    {LogComponent::HandleCb, "HandleCb"},
    {LogComponent::ModuleCb, "ModuleCb"},
    {LogComponent::RemotingCb, "RemotingCb"},
    {LogComponent::RuntimeCb, "RuntimeCb"},
    {LogComponent::ThreadCb, "ThreadCb"},
    {LogComponent::TransitionCb, "TransitionCb"},
    {LogComponent::VTableCb, "VTableCb"},
};

constexpr unsigned ComponentIndex(LogComponent component) {
    return static_cast<unsigned>(component);
}

constexpr ComponentMask ComponentBit(LogComponent component) {
    return ComponentMask{1} << ComponentIndex(component);
}
