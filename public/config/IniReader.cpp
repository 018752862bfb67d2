#include "config/IniReader.h"

#include <cstdlib>
#include <fstream>

// Two choices the dialect leaves open:
// - A section header that occurs again reopens the section it names: its key
//   lines are added to those already read, and a key read again replaces the
//   earlier value.
// - A line whose first ']' stands before its first '[' is a header line of
//   the section with the empty name.
// Key lines before the first header belong to no section and are dropped.

namespace Kest_U50 {

CIniReader::CIniReader() {}

CIniReader::~CIniReader() {}

bool CIniReader::ReadConfig(const std::string& filename) {
    m_configMap.clear();
    std::ifstream file(filename.c_str());
    if (!file.is_open()) {
        return false;
    }
    CKeyMap* current = nullptr;
    std::string line;
    while (std::getline(file, line)) {
        std::string section;
        std::string key;
        std::string value;
        if (!AnalyseLine(line, section, key, value)) {
            continue;
        }
        if (key.empty()) {
            // operator[] creates the section when it is new and reopens it
            // otherwise.
            current = &m_configMap[section];
        } else if (current != nullptr) {
            (*current)[key] = value;
        }
    }
    return true;
}

std::string CIniReader::ReadString(const char* section, const char* item, const char* default_value) {
    std::string value;
    if (ReadCommon(section, item, value)) {
        return value;
    }
    return std::string(default_value != nullptr ? default_value : "");
}

int32_t CIniReader::ReadInt32(const char* section, const char* item, int32_t default_value) {
    std::string value;
    if (!ReadCommon(section, item, value)) {
        return default_value;
    }
    // atoi's conversion, without its undefined behaviour on overflow.
    return static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 10));
}

uint32_t CIniReader::ReadUInt32(const char* section, const char* item, uint32_t default_value) {
    std::string value;
    if (!ReadCommon(section, item, value)) {
        return default_value;
    }
    return static_cast<uint32_t>(std::strtoll(value.c_str(), nullptr, 10));
}

uint16_t CIniReader::ReadUInt16(const char* section, const char* item, uint16_t default_value) {
    std::string value;
    if (!ReadCommon(section, item, value)) {
        return default_value;
    }
    return static_cast<uint16_t>(std::strtol(value.c_str(), nullptr, 10));
}

bool CIniReader::ReadCommon(const char* section, const char* item, std::string& refValue) {
    if (section == nullptr || item == nullptr) {
        return false;
    }
    const auto sectionIt = m_configMap.find(section);
    if (sectionIt == m_configMap.end()) {
        return false;
    }
    const auto keyIt = sectionIt->second.find(item);
    if (keyIt == sectionIt->second.end()) {
        return false;
    }
    refValue = keyIt->second;
    return true;
}

bool CIniReader::AnalyseLine(const std::string& line, std::string& section, std::string& key,
                             std::string& value) {
    if (line.empty()) {
        return false;
    }
    const size_t hashPos = line.find('#');
    if (hashPos == 0) {
        return false;
    }
    const size_t usableEnd = hashPos == std::string::npos ? line.size() : hashPos;

    // Brackets count anywhere on the line, the comment included.
    const size_t openPos = line.find('[');
    const size_t closePos = line.find(']');
    if (openPos != std::string::npos && closePos != std::string::npos) {
        if (openPos < closePos) {
            section = line.substr(openPos + 1, closePos - openPos - 1);
        } else {
            section.clear();
        }
        key.clear();
        value.clear();
        return true;
    }

    const size_t eqPos = line.find('=');
    if (eqPos == std::string::npos || eqPos >= usableEnd) {
        return false;
    }
    std::string newKey = line.substr(0, eqPos);
    Trim(newKey);
    if (newKey.empty()) {
        return false;
    }
    std::string newValue = line.substr(eqPos + 1, usableEnd - eqPos - 1);
    Trim(newValue);
    // A carriage return (or line feed) past the first character is a line
    // end left by another system; one alone is the whole value and stays.
    if (newValue.find('\r', 1) != std::string::npos) {
        newValue.erase(newValue.find('\r'), 1);
    }
    if (newValue.find('\n', 1) != std::string::npos) {
        newValue.erase(newValue.find('\n'), 1);
    }
    key.swap(newKey);
    value.swap(newValue);
    return true;
}

void CIniReader::Trim(std::string& str) {
    if (str.empty()) {
        return;
    }
    size_t begin = 0;
    while (begin < str.size() && IsSpace(str[begin])) {
        ++begin;
    }
    if (begin == str.size()) {
        str.clear();
        return;
    }
    size_t end = str.size();
    while (end > begin && IsSpace(str[end - 1])) {
        --end;
    }
    str = str.substr(begin, end - begin);
}

bool CIniReader::IsSpace(char c) { return c == ' ' || c == '\t'; }

}  // namespace Kest_U50
