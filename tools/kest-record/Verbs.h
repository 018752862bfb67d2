// The verbs of kest-record, one file each; main.cpp reads the command line
// and calls one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Output.h"
#include "recording/RunReader.h"

namespace kest_record {

constexpr const char* kTool = "kest-record";

struct Selection;

// Names each damaged block and a damaged index of a file read to its end, on
// standard output, each line after `indent`; true when there was any.
bool SayDamage(const kest_rec::RunReader& r, const std::string& file, const char* indent);

int Info(const std::vector<std::string>& paths);
int Verify(const std::vector<std::string>& paths);
int Slice(const std::vector<std::string>& paths, const Selection& sel, Output::Form form,
          const std::string& out_path, uint64_t limit, bool compress, bool stats);
int Merge(const std::vector<std::string>& paths, const std::string& out_path, bool compress);
int Import(const std::vector<std::string>& paths, const std::string& out_path, bool compress, bool four_ps);
int Compare(const std::string& a, const std::string& b);

}  // namespace kest_record
