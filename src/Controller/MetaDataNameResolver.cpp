#include "Controller/MetaDataNameResolver.h"

#include <cctype>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>

namespace Controller {

namespace {

constexpr uint32_t TypeRefTable = 0x01;
constexpr uint32_t TypeDefTable = 0x02;
constexpr uint32_t FieldTable = 0x04;
constexpr uint32_t MethodDefTable = 0x06;

uint32_t TableOf(uint32_t token) {
    return token >> 24;
}

uint32_t RowOf(uint32_t token) {
    return token & 0x00FFFFFF;
}

std::string TokenText(uint32_t token) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", token);
    return text;
}

// Reflection escapes the characters that its type name grammar gives a meaning.
std::string Escape(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case ',':
            case '[':
            case ']':
            case '&':
            case '*':
            case '+':
            case '\\':
                escaped.push_back('\\');
                break;
            default:
                break;
        }
        escaped.push_back(c);
    }
    return escaped;
}

// One nesting level: nested types keep a namespace of their own when the metadata gives one.
std::string Level(const std::string& nameSpace, const std::string& name) {
    return nameSpace.empty() ? Escape(name) : Escape(nameSpace + "." + name);
}

void ExpectTable(uint32_t token, uint32_t table) {
    if (TableOf(token) != table) {
        throw std::runtime_error("Unexpected token table");
    }
}

}  // namespace

bool MetaDataNameResolver::Add(uint32_t metadataIndex, std::vector<BYTE> blob) {
    if (metadataIndex == 0 || m_Modules.count(metadataIndex) != 0) {
        return false;
    }
    Module& module = m_Modules[metadataIndex];
    try {
        module.pTables = std::make_unique<MetaDataTables>(std::move(blob));
    } catch (const std::exception& e) {
        module.error = e.what();
    }
    return true;
}

bool MetaDataNameResolver::Contains(uint32_t metadataIndex) const {
    return m_Modules.count(metadataIndex) != 0;
}

std::string MetaDataNameResolver::LoadError(uint32_t metadataIndex) const {
    const auto found = m_Modules.find(metadataIndex);
    return found == m_Modules.end() ? std::string() : found->second.error;
}

const MetaDataTables* MetaDataNameResolver::Tables(uint32_t metadataIndex) const {
    const auto found = m_Modules.find(metadataIndex);
    return found == m_Modules.end() ? nullptr : found->second.pTables.get();
}

const MetaDataTables* MetaDataNameResolver::Find(uint32_t metadataIndex, uint32_t token,
                                                 std::string* pFallback) const {
    if (metadataIndex == 0) {
        *pFallback = "[no metadata] " + TokenText(token);
        return nullptr;
    }
    const auto found = m_Modules.find(metadataIndex);
    if (found == m_Modules.end()) {
        *pFallback = "[no metadata " + std::to_string(metadataIndex) + "] " + TokenText(token);
        return nullptr;
    }
    if (!found->second.pTables) {
        *pFallback = "[metadata " + std::to_string(metadataIndex) + ": " + found->second.error +
                     "] " + TokenText(token);
        return nullptr;
    }
    *pFallback = "[metadata " + std::to_string(metadataIndex) + "] " + TokenText(token);
    return found->second.pTables.get();
}

std::string MetaDataNameResolver::Resolve(uint32_t metadataIndex, uint32_t token,
                                          std::string (*pName)(const MetaDataTables&,
                                                               uint32_t token)) const {
    std::string fallback;
    const MetaDataTables* pTables = Find(metadataIndex, token, &fallback);
    if (pTables == nullptr) {
        return fallback;
    }
    try {
        return pName(*pTables, token);
    } catch (const std::exception&) {
        return fallback;
    }
}

std::string MetaDataNameResolver::TypeDefFullName(const MetaDataTables& tables, uint32_t row) {
    std::string name = Level(tables.TypeDefNamespace(row), tables.TypeDefName(row));
    // Each step goes to another row; more steps than rows means the nesting loops.
    uint32_t steps = 0;
    for (uint32_t enclosing = tables.EnclosingType(row); enclosing != 0;
         enclosing = tables.EnclosingType(enclosing)) {
        if (++steps > tables.RowCount(MetaDataTable::TypeDef)) {
            throw std::runtime_error("Type nesting loops");
        }
        name =
            Level(tables.TypeDefNamespace(enclosing), tables.TypeDefName(enclosing)) + "+" + name;
    }
    return name;
}

std::string MetaDataNameResolver::TypeRefFullName(const MetaDataTables& tables, uint32_t row) {
    std::string name = Level(tables.TypeRefNamespace(row), tables.TypeRefName(row));
    uint32_t steps = 0;
    for (uint32_t enclosing = tables.TypeRefEnclosing(row); enclosing != 0;
         enclosing = tables.TypeRefEnclosing(enclosing)) {
        if (++steps > tables.RowCount(MetaDataTable::TypeRef)) {
            throw std::runtime_error("Type reference nesting loops");
        }
        name =
            Level(tables.TypeRefNamespace(enclosing), tables.TypeRefName(enclosing)) + "+" + name;
    }
    return name;
}

std::string MetaDataNameResolver::TypeName(uint32_t metadataIndex, uint32_t token) const {
    return Resolve(metadataIndex, token, [](const MetaDataTables& tables, uint32_t token) {
        if (TableOf(token) == TypeRefTable) {
            return TypeRefFullName(tables, RowOf(token));
        }
        ExpectTable(token, TypeDefTable);
        return TypeDefFullName(tables, RowOf(token));
    });
}

std::string MetaDataNameResolver::TypeNameWithoutArity(uint32_t metadataIndex,
                                                       uint32_t token) const {
    std::string fallback;
    if (Find(metadataIndex, token, &fallback) == nullptr) {
        return fallback;
    }
    const std::string name = TypeName(metadataIndex, token);
    return name == fallback ? name : StripArity(name);
}

std::string MetaDataNameResolver::FunctionName(uint32_t metadataIndex, uint32_t token) const {
    return Resolve(metadataIndex, token, [](const MetaDataTables& tables, uint32_t token) {
        ExpectTable(token, MethodDefTable);
        const uint32_t owner = tables.MethodOwner(RowOf(token));
        if (owner == 0) {
            throw std::runtime_error("Method without an owning type");
        }
        return TypeDefFullName(tables, owner) + "::" + tables.MethodName(RowOf(token));
    });
}

std::string MetaDataNameResolver::FieldName(uint32_t metadataIndex, uint32_t token) const {
    return Resolve(metadataIndex, token, [](const MetaDataTables& tables, uint32_t token) {
        ExpectTable(token, FieldTable);
        const uint32_t owner = tables.FieldOwner(RowOf(token));
        if (owner == 0) {
            throw std::runtime_error("Field without an owning type");
        }
        return TypeDefFullName(tables, owner) + "::" + tables.FieldName(RowOf(token));
    });
}

uint32_t MetaDataNameResolver::GenericParameterCount(uint32_t metadataIndex, uint32_t token) const {
    const MetaDataTables* pTables = Tables(metadataIndex);
    return pTables == nullptr ? 0 : pTables->GenericParameterCount(token);
}

std::vector<std::string> MetaDataNameResolver::GenericParameterNames(uint32_t metadataIndex,
                                                                     uint32_t token) const {
    const MetaDataTables* pTables = Tables(metadataIndex);
    if (pTables == nullptr) {
        return {};
    }
    try {
        return pTables->GenericParameterNames(token);
    } catch (const std::exception&) {
        return {};
    }
}

std::string MetaDataNameResolver::StripArity(const std::string& typeName) {
    std::string result;
    result.reserve(typeName.size());
    size_t levelStart = 0;  // in `result`
    auto endLevel = [&result, &levelStart]() {
        size_t digits = result.size();
        while (digits > levelStart &&
               std::isdigit(static_cast<unsigned char>(result[digits - 1]))) {
            --digits;
        }
        if (digits < result.size() && digits > levelStart && result[digits - 1] == '`') {
            result.resize(digits - 1);
        }
    };
    for (size_t i = 0; i < typeName.size(); ++i) {
        const char c = typeName[i];
        if (c == '\\' && i + 1 < typeName.size()) {
            result.push_back(c);
            result.push_back(typeName[++i]);
            continue;
        }
        if (c == '+') {
            endLevel();
            result.push_back(c);
            levelStart = result.size();
            continue;
        }
        result.push_back(c);
    }
    endLevel();
    return result;
}

}  // namespace Controller
