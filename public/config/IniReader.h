// Reader of the small INI dialect of the configuration file: '#' comments
// anywhere on a line, "[section]" headers, "key=value" lines, blanks (space
// and tab only) trimmed around keys and values. Anything else is skipped.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace Kest_U50 {

class CIniReader {
public:
    CIniReader();
    ~CIniReader();

    // Replaces the contents with the file's; false only when it cannot be
    // opened (the reader is then empty).
    bool ReadConfig(const std::string& filename);

    // Typed lookups; the default applies only when the section or the key
    // is absent. Numbers convert like atoi/strtoll, without range checks.
    std::string ReadString(const char* section, const char* item, const char* default_value);
    int32_t ReadInt32(const char* section, const char* item, int32_t default_value);
    uint32_t ReadUInt32(const char* section, const char* item, uint32_t default_value);
    uint16_t ReadUInt16(const char* section, const char* item, uint16_t default_value);

    bool ReadCommon(const char* section, const char* item, std::string& refValue);

    // True for a header line (section set) or a usable key line (key and
    // value set).
    bool AnalyseLine(const std::string& line, std::string& section, std::string& key, std::string& value);
    void Trim(std::string& str);
    bool IsSpace(char c);

private:
    typedef std::map<std::string, std::string> CKeyMap;
    std::map<std::string, CKeyMap> m_configMap;
};

}  // namespace Kest_U50
