// A small JSON writer for the tools' --json output: objects and arrays are
// opened and closed in order, commas and string escapes are taken care of.
#pragma once

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kest_tools {

class JsonWriter {
public:
    JsonWriter& BeginObject(const char* key = nullptr) { return Open(key, '{'); }
    JsonWriter& EndObject() { return Close('}'); }
    JsonWriter& BeginArray(const char* key = nullptr) { return Open(key, '['); }
    JsonWriter& EndArray() { return Close(']'); }

    JsonWriter& String(const char* key, const std::string& v) {
        Key(key);
        Quote(v);
        return *this;
    }
    JsonWriter& Int(const char* key, int64_t v) {
        Key(key);
        out_ += std::to_string(v);
        return *this;
    }
    JsonWriter& Uint(const char* key, uint64_t v) {
        Key(key);
        out_ += std::to_string(v);
        return *this;
    }
    JsonWriter& Real(const char* key, double v) {
        Key(key);
        if (!std::isfinite(v)) {
            out_ += "null";
        } else {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.15g", v);
            out_ += buf;
        }
        return *this;
    }
    JsonWriter& Bool(const char* key, bool v) {
        Key(key);
        out_ += v ? "true" : "false";
        return *this;
    }
    JsonWriter& Null(const char* key) {
        Key(key);
        out_ += "null";
        return *this;
    }

    const std::string& Text() const { return out_; }

private:
    JsonWriter& Open(const char* key, char c) {
        Key(key);
        out_ += c;
        first_.push_back(true);
        return *this;
    }
    JsonWriter& Close(char c) {
        first_.pop_back();
        out_ += c;
        return *this;
    }
    // Inside an object every value has a key; inside an array none has.
    void Key(const char* key) {
        if (!first_.empty()) {
            if (!first_.back()) out_ += ',';
            first_.back() = false;
        }
        if (key != nullptr) {
            Quote(key);
            out_ += ':';
        }
    }
    void Quote(const std::string& s) {
        out_ += '"';
        for (unsigned char c : s) {
            switch (c) {
                case '"':
                    out_ += "\\\"";
                    break;
                case '\\':
                    out_ += "\\\\";
                    break;
                case '\n':
                    out_ += "\\n";
                    break;
                case '\r':
                    out_ += "\\r";
                    break;
                case '\t':
                    out_ += "\\t";
                    break;
                default:
                    if (c < 0x20 || c >= 0x7F) {
                        // Bytes outside printable ASCII are shown by value, so
                        // that any file content stays valid JSON.
                        char buf[8];
                        std::snprintf(buf, sizeof buf, "\\u%04x", c);
                        out_ += buf;
                    } else {
                        out_ += static_cast<char>(c);
                    }
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<bool> first_;
};

}  // namespace kest_tools
