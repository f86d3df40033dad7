// Names the types, methods and fields of a snapshot from the metadata blobs it carries, each blob
// known by its metadata index. Names have the form reflection gives type definitions:
//
//   type      "Namespace.Outer+Inner"        (nested types joined with '+'; a type without a
//                                             namespace has no leading dot; generic definitions
//                                             keep their arity suffix: "System.Collections.
//                                             Generic.List`1"; the characters , [ ] & * + \ inside
//                                             a name are escaped with a backslash)
//   method    "Namespace.Outer+Inner::Method" (".ctor" and ".cctor" as they are)
//   field     "Namespace.Type::field"
//
// A TypeRef token names the referenced type the same way, its nesting taken from a
// ResolutionScope that is itself a TypeRef.
//
// Asking never raises. When no name can be given the answer is a fallback text with the token as
// 0x followed by 8 upper-case hex digits:
//
//   "[no metadata] 0x06000012"              metadata index 0 (the module had no metadata)
//   "[no metadata 5] 0x06000012"            an index for which no blob was added
//   "[metadata 3] 0x06001234"               a token of an unexpected table, a row out of range,
//                                           or metadata that cannot name it (a method that no
//                                           type owns, a broken heap entry, a nesting loop)
//   "[metadata 3: <error>] 0x06000012"      a blob that failed to parse, with its error text
//
// Add is not safe to call while others read; once filled, the resolver may be read from many
// threads at once.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Controller/MetaDataTables.h"
#include "Platform/Types.h"

namespace Controller {

class MetaDataNameResolver {
public:
    // Parses the blob of one module. False, keeping the first, when the index is already known
    // (parsed or failed), and for index 0, which stands for "no metadata". A blob that fails to
    // parse is kept as a failure (see LoadError) and still returns true.
    bool Add(uint32_t metadataIndex, std::vector<BYTE> blob);

    // True when a blob was added for the index, whether or not it parsed.
    bool Contains(uint32_t metadataIndex) const;
    // The parse error of the index's blob; empty when it parsed or was never added.
    std::string LoadError(uint32_t metadataIndex) const;
    // The parsed tables of the index, or null when not added or failed.
    const MetaDataTables* Tables(uint32_t metadataIndex) const;

    // TypeDef (0x02) or TypeRef (0x01) token.
    std::string TypeName(uint32_t metadataIndex, uint32_t token) const;
    // The same name with the "`N" arity suffix removed from every nesting level, for display of
    // generic instantiations ("System.Collections.Generic.Dictionary`2+KeyCollection" becomes
    // "System.Collections.Generic.Dictionary+KeyCollection"). Fallback texts come back unchanged.
    std::string TypeNameWithoutArity(uint32_t metadataIndex, uint32_t token) const;
    // MethodDef (0x06) token.
    std::string FunctionName(uint32_t metadataIndex, uint32_t token) const;
    // Field (0x04) token.
    std::string FieldName(uint32_t metadataIndex, uint32_t token) const;

    // Generic parameters of a TypeDef or MethodDef token. A type nested in a generic type carries
    // its own copies of the enclosing type's parameters, first, so the count of
    // "List`1+Enumerator" is 1. 0 (or empty) for other tokens and for anything unknown.
    uint32_t GenericParameterCount(uint32_t metadataIndex, uint32_t token) const;
    std::vector<std::string> GenericParameterNames(uint32_t metadataIndex, uint32_t token) const;

    // Removes a trailing "`" followed by digits from each '+'-separated level of a type name
    // (escaped "\+" does not separate).
    static std::string StripArity(const std::string& typeName);

private:
    struct Module {
        std::unique_ptr<MetaDataTables> pTables;  // null when the blob failed to parse
        std::string error;
    };

    // The module's entry, or the fallback text for the token in `fallback` when there is none
    // that can name anything.
    const MetaDataTables* Find(uint32_t metadataIndex, uint32_t token,
                               std::string* pFallback) const;
    // Throwing forms, whose failures turn into the "[metadata N]" fallback.
    static std::string TypeDefFullName(const MetaDataTables& tables, uint32_t row);
    static std::string TypeRefFullName(const MetaDataTables& tables, uint32_t row);
    std::string Resolve(uint32_t metadataIndex, uint32_t token,
                        std::string (*pName)(const MetaDataTables&, uint32_t token)) const;

    std::map<uint32_t, Module> m_Modules;
};

}  // namespace Controller
