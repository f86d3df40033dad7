// The protocol buffers wire encoding, as much as an export needs: varint fields (wire type 0),
// length-delimited fields (wire type 2: text, nested messages, packed varints).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Qvprof {

class ProtobufWriter {
public:
    // Fields whose value is 0 are written too (a reader takes them as the default).
    void Varint(uint32_t field, uint64_t value);
    void Text(uint32_t field, std::string_view text);
    void Message(uint32_t field, const ProtobufWriter& message) { Text(field, message.m_Bytes); }
    void PackedVarints(uint32_t field, const std::vector<uint64_t>& values);

    const std::string& Bytes() const { return m_Bytes; }

private:
    void Key(uint32_t field, uint32_t wireType);
    static void Append(std::string& into, uint64_t value);

    std::string m_Bytes;
};

// The string table of a pprof profile: each text once, index 0 the empty string.
class PprofStrings {
public:
    PprofStrings() { Index(""); }
    uint64_t Index(const std::string& text) {
        const auto [it, added] = m_Indexes.emplace(text, m_Texts.size());
        if (added) {
            m_Texts.push_back(text);
        }
        return it->second;
    }
    const std::vector<std::string>& Texts() const { return m_Texts; }

private:
    std::unordered_map<std::string, uint64_t> m_Indexes;
    std::vector<std::string> m_Texts;
};

}  // namespace Qvprof
