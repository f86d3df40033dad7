#include "ProtobufWriter.h"

namespace Qvprof {

void ProtobufWriter::Append(std::string& into, uint64_t value) {
    while (value >= 0x80) {
        into.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    into.push_back(static_cast<char>(value));
}

void ProtobufWriter::Key(uint32_t field, uint32_t wireType) {
    Append(m_Bytes, uint64_t{field} << 3 | wireType);
}

void ProtobufWriter::Varint(uint32_t field, uint64_t value) {
    Key(field, 0);
    Append(m_Bytes, value);
}

void ProtobufWriter::Text(uint32_t field, std::string_view text) {
    Key(field, 2);
    Append(m_Bytes, text.size());
    m_Bytes.append(text);
}

void ProtobufWriter::PackedVarints(uint32_t field, const std::vector<uint64_t>& values) {
    std::string packed;
    for (uint64_t value : values) {
        Append(packed, value);
    }
    Text(field, packed);
}

}  // namespace Qvprof
