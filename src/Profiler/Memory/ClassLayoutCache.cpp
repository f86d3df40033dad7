#include "Profiler/Memory/ClassLayoutCache.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "Bridge/BridgeStreamHelpers.h"
#include "Profiler/Memory/SectionWriter.h"
#include "Profiler/MetaDataGatherer.h"
#include "Util/ComRef.h"
#include "Util/HrError.h"
#include "Util/SpinLockGuard.h"

namespace {

constexpr ULONG TypeNameCapacity = 1024;
constexpr BYTE FieldCallingConvention = 0x6;
constexpr BYTE RequiredModifier = 0x1F;
constexpr BYTE OptionalModifier = 0x20;

// Types that, as a class's generic argument, give its field no reference to follow.
constexpr std::array<const WCHAR*, 18> PlainArgumentTypes = {
    u"System.Boolean",   u"System.Char",    u"System.SByte",  u"System.Byte",   u"System.Int16",
    u"System.UInt16",    u"System.Int32",   u"System.UInt32", u"System.Int64",  u"System.UInt64",
    u"System.IntPtr",    u"System.UIntPtr", u"System.Single", u"System.Double", u"System.String",
    u"System.ValueType", u"System.Object",  u"System.Enum"};

// Reads field signatures, which come from the module's metadata: every read is bounds-checked.
class SignatureReader {
public:
    SignatureReader(PCCOR_SIGNATURE pSignature, ULONG size)
        : m_p(pSignature), m_End(pSignature + size) {}

    BYTE Byte() {
        if (m_p == nullptr || m_p >= m_End) {
            throw std::runtime_error("Field signature is cut short");
        }
        return *m_p++;
    }
    BYTE Peek() {
        BYTE value = Byte();
        --m_p;
        return value;
    }
    // The metadata's compressed unsigned integer (1, 2 or 4 bytes, big-endian).
    ULONG Compressed() {
        const BYTE first = Byte();
        if ((first & 0x80) == 0) {
            return first;
        }
        if ((first & 0xC0) == 0x80) {
            return (ULONG{first & 0x3Fu} << 8) | Byte();
        }
        if ((first & 0xE0) == 0xC0) {
            ULONG value = first & 0x1Fu;
            for (int i = 0; i < 3; ++i) {
                value = (value << 8) | Byte();
            }
            return value;
        }
        throw std::runtime_error("Invalid compressed integer in field signature");
    }

private:
    PCCOR_SIGNATURE m_p;
    PCCOR_SIGNATURE m_End;
};

bool IsPlainArgument(const WString& name) {
    return std::any_of(PlainArgumentTypes.begin(), PlainArgumentTypes.end(),
                       [&name](const WCHAR* pPlain) { return name == pPlain; });
}

struct ClassInfo {
    ModuleID module = 0;
    mdTypeDef token = 0;
    ClassID parent = 0;
    std::vector<ClassID> typeArgs;
};

ClassInfo DescribeClass(ICorProfilerInfo2& info, ClassID classId) {
    ClassInfo result;
    ULONG32 count = 0;
    HRESULT hr = info.GetClassIDInfo2(classId, &result.module, &result.token, &result.parent, 0,
                                      &count, nullptr);
    if (SUCCEEDED(hr) && count > 0) {
        result.typeArgs.resize(count);
        hr = info.GetClassIDInfo2(classId, &result.module, &result.token, &result.parent, count,
                                  &count, result.typeArgs.data());
        result.typeArgs.resize(std::min<size_t>(count, result.typeArgs.size()));
    }
    if (FAILED(hr)) {
        throw _hr_error("Can't get class info", hr);
    }
    return result;
}

ComRef<IMetaDataImport> OpenMetaData(ICorProfilerInfo2& info, ModuleID module) {
    IUnknown* pUnknown = nullptr;
    const HRESULT hr = info.GetModuleMetaData(module, ofRead, IID_IMetaDataImport, &pUnknown);
    if (FAILED(hr) || pUnknown == nullptr) {
        throw _hr_error("Can't get metadata", FAILED(hr) ? hr : E_POINTER);
    }
    ComRef<IMetaDataImport> pImport;
    pImport.Attach(static_cast<IMetaDataImport*>(pUnknown));
    return pImport;
}

bool IsArray(ICorProfilerInfo2& info, ClassID classId) {
    const HRESULT hr = info.IsArrayClass(classId, nullptr, nullptr, nullptr);
    if (FAILED(hr)) {
        throw _hr_error("Can't detect is it array or not", hr);
    }
    return hr == S_OK;
}

}  // namespace

const ClassLayoutCache::Layout& ClassLayoutCache::Get(ClassID classId) {
    {
        SpinLockGuard guard(m_LayoutLock);
        auto it = m_Layouts.find(classId);
        if (it != m_Layouts.end()) {
            return it->second;
        }
    }
    Layout layout = Build(classId);
    SpinLockGuard guard(m_LayoutLock);
    return m_Layouts.try_emplace(classId, std::move(layout)).first->second;
}

void ClassLayoutCache::Clear() {
    SpinLockGuard guard(m_LayoutLock);
    m_Layouts.clear();
}

ClassLayoutCache::Layout ClassLayoutCache::Build(ClassID classId) {
    if (m_pInfo == nullptr) {
        throw std::runtime_error("Null interface pointer");
    }
    ICorProfilerInfo2& info = *m_pInfo;
    if (IsArray(info, classId)) {
        return Layout();
    }
    const ClassInfo description = DescribeClass(info, classId);
    Layout layout;
    if (description.parent != 0) {
        layout.fields = Get(description.parent).fields;
    }
    ComRef<IMetaDataImport> pMetaData = OpenMetaData(info, description.module);
    const DWORD metaDataIndex = m_pMetaData->GetMetaDataIndex(description.module);

    ULONG count = 0;
    ULONG classSize = 0;
    HRESULT hr = info.GetClassLayout(classId, nullptr, 0, &count, &classSize);
    std::vector<COR_FIELD_OFFSET> fields(count);
    if (SUCCEEDED(hr) && count > 0) {
        hr = info.GetClassLayout(classId, fields.data(), count, &count, &classSize);
        fields.resize(std::min<size_t>(count, fields.size()));
    }
    if (FAILED(hr)) {
        throw _hr_error("Can't get class layout size", hr);
    }
    if (description.parent != 0 && TypeName(description.parent) == u"System.ValueType") {
        layout.valueSize = classSize;
    }
    for (const COR_FIELD_OFFSET& field : fields) {
        AddField(description.typeArgs, metaDataIndex, field, *pMetaData, layout);
    }
    return layout;
}

void ClassLayoutCache::AddField(const std::vector<ClassID>& typeArgs, DWORD metaDataIndex,
                                const COR_FIELD_OFFSET& field, IMetaDataImport& metaData,
                                Layout& layout) {
    PCCOR_SIGNATURE pSignature = nullptr;
    ULONG signatureSize = 0;
    const HRESULT hr =
        metaData.GetFieldProps(field.ridOfField, nullptr, nullptr, 0, nullptr, nullptr, &pSignature,
                               &signatureSize, nullptr, nullptr, nullptr);
    if (FAILED(hr)) {
        throw _hr_error("Can't get field properties", hr);
    }
    SignatureReader signature(pSignature, signatureSize);
    if ((signature.Byte() & 0x0F) != FieldCallingConvention) {
        throw std::runtime_error("Field signature expected");
    }
    while (signature.Peek() == RequiredModifier || signature.Peek() == OptionalModifier) {
        signature.Byte();
        signature.Compressed();
    }
    switch (signature.Byte()) {
        case ELEMENT_TYPE_STRING:
        case ELEMENT_TYPE_CLASS:
        case ELEMENT_TYPE_ARRAY:
        case ELEMENT_TYPE_OBJECT:
        case ELEMENT_TYPE_SZARRAY:
            break;
        case ELEMENT_TYPE_GENERICINST:
            if (signature.Byte() != ELEMENT_TYPE_CLASS) {
                return;
            }
            break;
        case ELEMENT_TYPE_VAR: {
            const ULONG number = signature.Compressed();
            if (number >= typeArgs.size()) {
                throw std::runtime_error("Generic parameter without type argument");
            }
            AddGenericField(typeArgs[number], metaDataIndex, field, layout);
            return;
        }
        default:
            return;
    }
    layout.fields.push_back(
        {field.ulOffset, AppendFieldRecord(-1, metaDataIndex, field.ridOfField)});
}

void ClassLayoutCache::AddGenericField(ClassID argument, DWORD metaDataIndex,
                                       const COR_FIELD_OFFSET& field, Layout& layout) {
    ICorProfilerInfo2& info = *m_pInfo;
    if (IsArray(info, argument)) {
        layout.fields.push_back(
            {field.ulOffset, AppendFieldRecord(-1, metaDataIndex, field.ridOfField)});
        return;
    }
    if (IsPlainArgument(TypeName(argument))) {
        return;
    }
    const ClassID parent = DescribeClass(info, argument).parent;
    const WString parentName = parent != 0 ? TypeName(parent) : WString();
    if (parentName == u"System.Enum") {
        return;
    }
    if (parentName != u"System.ValueType") {
        layout.fields.push_back(
            {field.ulOffset, AppendFieldRecord(-1, metaDataIndex, field.ridOfField)});
        return;
    }
    // An embedded value: each of its reference fields is one of ours, named by both records.
    const std::vector<ReferenceField> inner = Get(argument).fields;
    for (const ReferenceField& innerField : inner) {
        layout.fields.push_back(
            {field.ulOffset + innerField.offset,
             AppendFieldRecord(innerField.position, metaDataIndex, field.ridOfField)});
    }
}

WString ClassLayoutCache::TypeName(ClassID classId) {
    ICorProfilerInfo2& info = *m_pInfo;
    if (IsArray(info, classId)) {
        return WString();
    }
    const ClassInfo description = DescribeClass(info, classId);
    ComRef<IMetaDataImport> pMetaData = OpenMetaData(info, description.module);
    WCHAR name[TypeNameCapacity] = {};
    ULONG length = 0;
    const HRESULT hr = pMetaData->GetTypeDefProps(description.token, name, TypeNameCapacity,
                                                  &length, nullptr, nullptr);
    if (FAILED(hr)) {
        throw _hr_error("Can't get class info", hr);
    }
    return WString(name, std::find(name, name + std::min(length, TypeNameCapacity), u'\0'));
}

int64_t ClassLayoutCache::AppendFieldRecord(int64_t inner, DWORD metaDataIndex, mdFieldDef token) {
    SpinLockGuard guard(m_FieldLock);
    BufferedWriteStream& stream = m_FieldWriter.Stream();
    const int64_t position = m_FieldWriter.Position();
    BYTE* p = stream.Reserve(16);
    p = EncodeU64(p, static_cast<uint64_t>(inner));
    p = EncodeU32(p, metaDataIndex);
    p = EncodeU32(p, token);
    stream.Commit(p);
    return position;
}
