#include <fstream>
#include <string>

#include "Check.h"

namespace kest_config_check {

// Replays the reader's walk over the file, with the reader's own line
// classification, to see what the reader does not say: which lines it drops,
// where each key stands, and what repeats.
void Check::Walk() {
    std::ifstream file(path_.c_str());
    std::string line;
    int number = 0;
    SectionSeen* current = nullptr;
    std::string currentName;
    size_t binary = 0;
    while (std::getline(file, line)) {
        ++number;
        for (unsigned char c : line)
            if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7F) ++binary;
        std::string section, key, value;
        if (!reader_.AnalyseLine(line, section, key, value)) {
            std::string trimmed = line;
            reader_.Trim(trimmed);
            if (!trimmed.empty() && trimmed != "\r" && trimmed[0] != '#') {
                const size_t eq = trimmed.find('=');
                const size_t hash = trimmed.find('#');
                if (eq == 0) {
                    Warn(number, "a value without a key; the line is ignored");
                } else if (eq != std::string::npos && hash != std::string::npos && hash < eq) {
                    // The '=' lies in the comment: nothing to say.
                } else if (eq == std::string::npos) {
                    Warn(number, "no '=' and no [section] header: the line " + Quote(trimmed.substr(0, 40)) +
                                     " is ignored");
                }
            }
            continue;
        }
        if (key.empty()) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos && eq < line.find('['))
                Warn(number,
                     "the line holds '[' and ']', so it reads as the header of section " + Quote(section) +
                         " (even inside a comment); its key is lost and the lines after it belong to " +
                         Quote(section));
            auto found = sections_.find(section);
            if (found != sections_.end()) {
                Warn(number, "section [" + section + "] appears again (first at line " +
                                 std::to_string(found->second.line) + "); its keys are added to the first's");
            } else {
                sections_[section].line = number;
            }
            current = &sections_[section];
            currentName = section;
            continue;
        }
        if (current == nullptr) {
            Warn(number, "key " + Quote(key) + " stands before any [section] header and is never read");
            continue;
        }
        auto previous = current->keys.find(key);
        if (previous != current->keys.end()) {
            Warn(number, "key " + Quote(key) + " in [" + currentName + "] is set again (first at line " +
                             std::to_string(previous->second.line) + "); the later value " + Quote(value) +
                             " counts");
        }
        current->keys[key] = Seen{value, number};
    }
    if (binary > 0)
        Warn(0, std::to_string(binary) + " control or NUL bytes: this does not look like a text file");
}

}  // namespace kest_config_check
