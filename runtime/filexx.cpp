#include "runtime/filexx.h"

#include <unistd.h>

#include <array>
#include <cstring>

#include "kernel/lib00.h"
#include "runtime/opxfile.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

struct Unit {
    std::FILE* stream = nullptr;
    std::string path;  // empty for scratch files
};

// The optman registry of units 11 to 100.
struct Registration {
    std::int32_t in_use = 0;
    std::int32_t type = 0;
    std::string name;  // registered name, ".DAT" included
};

std::array<Unit, kLastUnit + 1> units;
std::array<Registration, kLastUnit + 1> optman;

bool valid_unit(std::int32_t unit) { return unit >= 1 && unit <= kLastUnit; }

std::string trimmed(const char* name, std::int32_t length) {
    std::string s(name != nullptr ? name : "");
    if (length >= 0 && static_cast<std::size_t>(length) < s.size()) s.resize(static_cast<std::size_t>(length));
    const auto last = s.find_last_not_of(' ');
    s.resize(last == std::string::npos ? 0 : last + 1);
    return s;
}

bool exists(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

std::FILE* open_stream(const std::string& path, std::int32_t type) {
    switch (type) {
        case kFormattedScratch:
        case kUnformattedScratch: return std::tmpfile();
        case kFormattedNew:
        case kUnformattedNew: return std::fopen(path.c_str(), "w+b");
        default:
            if (exists(path)) return std::fopen(path.c_str(), "r+b");
            return std::fopen(path.c_str(), "w+b");
    }
}

void open_registered(const std::string& file_name, const std::string& registered, std::int32_t type,
                     std::int32_t& unit) {
    unit = 0;
    const bool type_ok = (type >= 31 && type <= 33) || (type >= 41 && type <= 43);
    if (!type_ok) tsedet(9252);
    for (std::int32_t u = kFirstRegistryUnit; u <= kLastUnit; ++u)
        if (optman[u].in_use != 0 && optman[u].name == registered) {
            tsedet(9250);
            break;
        }
    std::int32_t found = 0;
    for (std::int32_t u = kFirstRegistryUnit; u <= kLastUnit; ++u)
        if (optman[u].in_use == 0 && units[u].stream == nullptr) {
            found = u;
            break;
        }
    if (found == 0) {
        // Reusing a unit would clobber a file that is still open.
        tsedet(9251);
        return;
    }
    const bool scratch = type == kFormattedScratch || type == kUnformattedScratch;
    if ((type == kFormattedNew || type == kUnformattedNew) && exists(file_name)) {
        // A replaced data file is kept as name_old.DAT.
        const std::string base = file_name.size() > 4 ? file_name.substr(0, file_name.size() - 4) : file_name;
        if (file_name.size() > 4 && file_name.compare(file_name.size() - 4, 4, ".DAT") == 0) {
            std::string old(base.size() + 8, '\0');
            opxfrename(base.c_str(), old.data());
        } else {
            std::remove(file_name.c_str());
        }
    }
    std::FILE* f = open_stream(file_name, type);
    if (f == nullptr) {
        opxerr("Cannot open file " + file_name);
        return;
    }
    optman[found].in_use = 1;
    optman[found].type = type;
    optman[found].name = registered;
    units[found].stream = f;
    units[found].path = scratch ? std::string() : file_name;
    unit = found;
}

void close_and_clear(std::int32_t unit, bool remove_file) {
    Unit& u = units[unit];
    if (u.stream != nullptr) std::fclose(u.stream);
    if (remove_file && !u.path.empty()) std::remove(u.path.c_str());
    u = Unit{};
    optman[unit] = Registration{};
}

}  // namespace

void opnfil(const char* name, std::int32_t type, std::int32_t& unit, std::int32_t length) {
    const std::string registered = trimmed(name, length) + ".DAT";
    open_registered(registered, registered, type, unit);
}

void opnfil_as_named(const char* name, std::int32_t type, std::int32_t& unit, std::int32_t length) {
    const std::string file_name = trimmed(name, length);
    open_registered(file_name, file_name, type, unit);
}

void clofil(const char* name, std::int32_t mode, std::int32_t length) {
    if (mode > 1) {
        tsedet(9260);
        return;
    }
    const std::string registered = trimmed(name, length) + ".DAT";
    for (std::int32_t u = kFirstRegistryUnit; u <= kLastUnit; ++u)
        if (optman[u].in_use != 0 && optman[u].name == registered) {
            close_and_clear(u, mode == 1);
            return;
        }
    tsedet(9261);
}

void clodev(std::int32_t unit, std::int32_t mode) {
    if (mode > 1) {
        tsedet(9270);
        return;
    }
    if (!valid_unit(unit) || optman[unit].in_use == 0) {
        tsedet(9271);
        return;
    }
    close_and_clear(unit, mode == 1);
}

void opntff(const char* name, std::int32_t& unit) {
    const std::string base = cut_at_first_blank(name);
    const std::string path = base + ".DAT";
    if (exists(path)) {
        std::string old(base.size() + 8, '\0');
        opxfrename(base.c_str(), old.data());
        opnfil(base.c_str(), kFormattedUnknown, unit, static_cast<std::int32_t>(base.size()));
        std::FILE* previous = std::fopen((base + "_old.DAT").c_str(), "r");
        std::FILE* out = unit_stream(unit);
        if (previous != nullptr) {
            // Copy the old lines up to the first marked one ("#" in column 2).
            char buf[61];
            std::string line;
            bool pending = false;
            while (std::fgets(buf, sizeof buf, previous) != nullptr) {
                line += buf;
                pending = true;
                if (!line.empty() && line.back() == '\n') {
                    if (line.size() >= 2 && line[1] == '#') {
                        pending = false;
                        break;
                    }
                    if (out != nullptr) std::fputs(line.c_str(), out);
                    line.clear();
                    pending = false;
                }
            }
            if (pending && out != nullptr && !(line.size() >= 2 && line[1] == '#')) std::fputs(line.c_str(), out);
            std::fclose(previous);
            std::remove((base + "_old.DAT").c_str());
        }
        if (out != nullptr) std::fputs("{ \n", out);
        return;
    }
    opnfil(base.c_str(), kFormattedUnknown, unit, static_cast<std::int32_t>(base.size()));
    if (std::FILE* out = unit_stream(unit); out != nullptr) std::fputs("@ \n{ \n", out);
}

void tqflrs() {
    for (auto& r : optman) r = Registration{};
}

bool open_scratch_unit(std::int32_t unit, bool /*formatted*/) {
    if (!valid_unit(unit) || units[unit].stream != nullptr) return false;
    units[unit].stream = std::tmpfile();
    units[unit].path.clear();
    return units[unit].stream != nullptr;
}

void close_unit(std::int32_t unit) {
    if (!valid_unit(unit)) return;
    Unit& u = units[unit];
    if (u.stream != nullptr) std::fclose(u.stream);
    u = Unit{};
    optman[unit] = Registration{};
}

std::FILE* unit_stream(std::int32_t unit) { return valid_unit(unit) ? units[unit].stream : nullptr; }

std::string unit_path(std::int32_t unit) { return valid_unit(unit) ? units[unit].path : std::string(); }

bool unit_registered(std::int32_t unit) { return valid_unit(unit) && optman[unit].in_use != 0; }

bool unit_write_line(std::int32_t unit, const std::string& line) {
    std::FILE* f = unit_stream(unit);
    if (f == nullptr) return false;
    const bool ok = std::fputs(line.c_str(), f) >= 0 && std::fputc('\n', f) != EOF;
    unit_end_here(unit);
    return ok;
}

void unit_end_here(std::int32_t unit) {
    std::FILE* f = unit_stream(unit);
    if (f == nullptr) return;
    std::fflush(f);
    const long at = std::ftell(f);
    if (at >= 0 && ::ftruncate(::fileno(f), at) != 0) std::perror("unit_end_here() - ftruncate()");
}

bool unit_read_line(std::int32_t unit, std::string& line) {
    line.clear();
    std::FILE* f = unit_stream(unit);
    if (f == nullptr) return false;
    int c;
    bool any = false;
    while ((c = std::fgetc(f)) != EOF) {
        any = true;
        if (c == '\n') break;
        line += static_cast<char>(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any;
}

void unit_rewind(std::int32_t unit) {
    if (std::FILE* f = unit_stream(unit); f != nullptr) std::rewind(f);
}

void reset_units() {
    for (std::int32_t u = 1; u <= kLastUnit; ++u) close_unit(u);
}

}  // namespace nodrix
