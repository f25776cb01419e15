#include "kernel/limits_file.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "runtime/format.h"
#include "runtime/opxfile.h"

namespace nodrix {
namespace {

struct Record {
    const char* key;
    std::int32_t StorageCounts::*count;
};

// The records in the order the file holds them.
const Record kRecords[] = {
    {"MAXH", &StorageCounts::h},   {"MAXI", &StorageCounts::i},   {"MAXD", &StorageCounts::d},
    {"MAXC", &StorageCounts::c},   {"MAXHT", &StorageCounts::ht}, {"MAXIT", &StorageCounts::it},
    {"MAXCT", &StorageCounts::ct}, {"MAXZ", &StorageCounts::z},   {"MAXZD", &StorageCounts::zd},
};
constexpr std::size_t kKinds = sizeof kRecords / sizeof kRecords[0];

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A whole count from 0 to kLargestCapacity, digits only.
bool parse_count(const std::string& text, std::int32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = 10 * v + (c - '0');
    }
    if (v > kLargestCapacity) return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

}  // namespace

void write_limits_file(const std::string& path, const StorageCounts& counts) {
    opxfdel(path.c_str());
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        opxerr("Cannot create the limits file " + path);
        return;
    }
    for (const Record& r : kRecords) {
        const std::string line = fmt::A(r.key, 10) + fmt::I(counts.*r.count, 11) + "\n";
        std::fputs(line.c_str(), f);
    }
    if (std::fclose(f) != 0) opxerr("Cannot write the limits file " + path);
}

bool read_limits_file(const std::string& path, StorageCounts& counts) {
    std::error_code ec;
    std::ifstream in(path, std::ios::binary);
    if (!std::filesystem::is_regular_file(path, ec) || !in) {
        opxerr("Cannot read the limits file " + path);
        return false;
    }
    StorageCounts read = counts;
    bool seen[kKinds] = {};
    bool any = false;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::string at = "Limits file " + path + ", line " + std::to_string(number) + ": ";
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (char& c : line)
            if (c == '\t') c = ' ';
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string w; fields >> w;) words.push_back(w);
        if (words.empty()) continue;
        if (words.size() != 2) {
            opxerr(at + "expected a storage kind and its count");
            return false;
        }
        const std::string key = upper(words[0]);
        std::size_t k = 0;
        while (k < kKinds && key != kRecords[k].key) ++k;
        if (k == kKinds) {
            opxerr(at + "unknown storage kind " + words[0].substr(0, 20) +
                   " (MAXH, MAXI, MAXD, MAXC, MAXHT, MAXIT, MAXCT, MAXZ, MAXZD)");
            return false;
        }
        if (seen[k]) {
            opxerr(at + key + " given twice");
            return false;
        }
        if (!parse_count(words[1], read.*kRecords[k].count)) {
            opxerr(at + "the count of " + key + " must be a whole number from 0 to " +
                   std::to_string(kLargestCapacity));
            return false;
        }
        seen[k] = true;
        any = true;
    }
    if (in.bad()) {
        opxerr("Cannot read the limits file " + path);
        return false;
    }
    if (!any) {
        opxerr("Limits file " + path + " holds no storage counts");
        return false;
    }
    counts = read;
    return true;
}

}  // namespace nodrix
