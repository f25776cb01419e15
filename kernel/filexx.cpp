#include "kernel/filexx.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kernel/lib00.h"
#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"
#include "xu/run_state.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

// A unit's stream reads and writes its file through the functions below, so
// that every write is checked (io_write_fully) and the first failure is
// reported with the file's name.
struct Unit {
    std::FILE* stream = nullptr;
    int fd = -1;
    std::string path;       // the file's name; empty for scratch files
    std::string scratch_dir;  // where a scratch file was made
    std::string temporary;  // a new file: where it is written until it is closed
    bool own = true;        // the file is the run's own version (else an earlier file, read only)
    bool noted = false;     // noted among the run's working files
    int error = 0;          // the first failure to write (errno)
};

// The optman registry of units 11 to 100.
struct Registration {
    std::int32_t in_use = 0;
    std::int32_t type = 0;
    std::string name;  // registered name, ".DAT" included
};

// The units of a run. The run closes what it left open before it ends
// (units_close_unfinished): a unit's stream writes through the run's files.
struct UnitTable {
    std::array<Unit, kLastUnit + 1> units;
    std::array<Registration, kLastUnit + 1> optman;
};

UnitTable& table() { return current_run_state().part<UnitTable>(); }

// Stream buffer of a unit: the fibres' working files run to hundreds of MB.
constexpr std::size_t kStreamBuffer = 1 << 16;

bool valid_unit(std::int32_t unit) { return unit >= 1 && unit <= kLastUnit; }

std::string trimmed(const char* name, std::int32_t length) {
    std::string s(name != nullptr ? name : "");
    if (length >= 0 && static_cast<std::size_t>(length) < s.size()) s.resize(static_cast<std::size_t>(length));
    const auto last = s.find_last_not_of(' ');
    s.resize(last == std::string::npos ? 0 : last + 1);
    return s;
}

// Whether the run's version of the file can be read.
bool exists(const std::string& name) {
    const std::string path = present_version(name);
    std::FILE* f = path.empty() ? nullptr : std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

void failed(Unit& u, int error) {
    if (u.error != 0) return;
    u.error = error != 0 ? error : EIO;
    if (u.path.empty())
        opxerr("Cannot write a scratch file in " + u.scratch_dir + ": " + std::strerror(u.error));
    else
        report_unwritable(u.path, u.error);
}

ssize_t unit_read(void* cookie, char* buf, std::size_t n) {
    auto& u = *static_cast<Unit*>(cookie);
    for (;;) {
        const ssize_t r = ::read(u.fd, buf, n);
        if (r >= 0 || errno != EINTR) return r;
    }
}

// A unit reading a file an earlier run left (or an input) goes over to the
// run's own copy of it, at the same place, before the run changes it.
bool make_own(Unit& u) {
    if (u.own) return true;
    const off_t at = ::lseek(u.fd, 0, SEEK_CUR);
    const std::string copy = writable_version(u.path);
    const int fd = copy.empty() ? -1 : ::open(copy.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || at < 0 || ::lseek(fd, at, SEEK_SET) < 0 || ::dup2(fd, u.fd) < 0) {
        const int e = errno;
        if (fd >= 0) ::close(fd);
        failed(u, e);
        return false;
    }
    ::close(fd);
    u.own = true;
    return true;
}

ssize_t unit_write(void* cookie, const char* buf, std::size_t n) {
    auto& u = *static_cast<Unit*>(cookie);
    if (u.error != 0 || !make_own(u)) return 0;  // the file failed: it is not completed
    if (!u.noted && u.temporary.empty() && !u.path.empty()) {
        // A file the run writes is one of its working files.
        note_working_file(u.path);
        u.noted = true;
    }
    if (io_write_fully(u.fd, buf, n)) return static_cast<ssize_t>(n);
    failed(u, errno);
    return 0;  // the stream marks itself in error
}

int unit_seek(void* cookie, off64_t* offset, int whence) {
    auto& u = *static_cast<Unit*>(cookie);
    const off_t at = ::lseek(u.fd, static_cast<off_t>(*offset), whence);
    if (at < 0) return -1;
    *offset = at;
    return 0;
}

int unit_close(void* cookie) {
    auto& u = *static_cast<Unit*>(cookie);
    const int r = ::close(u.fd);
    if (r != 0) failed(u, errno);
    u.fd = -1;
    return r;
}

// Opens the file of a unit: a scratch file without a name, a new file under a
// temporary name, or the file itself, created when missing.
bool open_unit_file(Unit& u, const std::string& path, std::int32_t type) {
    u = Unit{};
    int fd = -1;
    switch (type) {
        case kFormattedScratch:
        case kUnformattedScratch: {
            const char* dir = std::getenv("TMPDIR");
            u.scratch_dir = dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
            std::string pattern = u.scratch_dir + "/nodrix-XXXXXX";
            fd = ::mkstemp(pattern.data());
            if (fd >= 0) ::unlink(pattern.c_str());  // it vanishes with its descriptor
            break;
        }
        case kFormattedNew:
        case kUnformattedNew:
            u.path = path;
            fd = create_temporary(path, u.temporary, 0666, false);  // the old file is kept as _old
            break;
        default: {
            u.path = path;
            const std::string version = present_version(path);
            if (!exists(path)) {
                // Created by the run: one of its working files from the start,
                // made beside its name and the run's version of it at once.
                std::string made;
                fd = create_temporary(path, made, 0666, false);
                if (fd >= 0) adopt_working_file(made, path);
                note_working_file(path);
                u.noted = true;
            } else if (version != path) {
                fd = ::open(version.c_str(), O_RDWR | O_CLOEXEC);  // the run's own file
            } else {
                fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // copied when first written
                u.own = false;
            }
            break;
        }
    }
    if (fd < 0) {
        u = Unit{};
        return false;
    }
    u.fd = fd;
    const cookie_io_functions_t io{unit_read, unit_write, unit_seek, unit_close};
    u.stream = ::fopencookie(&u, "r+", io);
    if (u.stream == nullptr) {
        ::close(fd);
        if (!u.temporary.empty()) discard_temporary(u.temporary);
        u = Unit{};
        return false;
    }
    std::setvbuf(u.stream, nullptr, _IOFBF, kStreamBuffer);
    return true;
}

// Closes a unit's file. A new file goes in place once complete (the file it
// replaces kept as name_old.DAT); an incomplete file does not stay under its
// name; mode 1 (remove_file) deletes the file.
void close_file(Unit& u, bool remove_file) {
    if (u.stream != nullptr && std::fclose(u.stream) != 0) failed(u, errno);
    u.stream = nullptr;
    if (!u.temporary.empty()) {
        if (remove_file || u.error != 0) {
            discard_temporary(u.temporary);
        } else {
            const std::string& name = u.path;
            if (exists(name)) {
                // A replaced data file is kept as name_old.DAT.
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".DAT") == 0) {
                    const std::string base = name.substr(0, name.size() - 4);
                    std::string old(base.size() + 8, '\0');
                    opxfrename(base.c_str(), old.data());
                }
            }
            if (!put_in_place(u.temporary, name)) failed(u, errno);
        }
    } else if (!u.path.empty() && (remove_file || (u.error != 0 && u.noted))) {
        remove_run_file(u.path);
    }
    u = Unit{};
}

void open_registered(const std::string& file_name, const std::string& registered, std::int32_t type,
                     std::int32_t& unit) {
    unit = 0;
    const bool type_ok = (type >= 31 && type <= 33) || (type >= 41 && type <= 43);
    if (!type_ok) tsedet(9252);
    for (std::int32_t u = kFirstRegistryUnit; u <= kLastUnit; ++u)
        if (table().optman[u].in_use != 0 && table().optman[u].name == registered) {
            tsedet(9250);
            break;
        }
    std::int32_t found = 0;
    for (std::int32_t u = kFirstRegistryUnit; u <= kLastUnit; ++u)
        if (table().optman[u].in_use == 0 && table().units[u].stream == nullptr) {
            found = u;
            break;
        }
    if (found == 0) {
        // Reusing a unit would clobber a file that is still open.
        tsedet(9251);
        return;
    }
    if (!open_unit_file(table().units[found], file_name, type)) {
        const int e = errno;
        if (type == kFormattedNew || type == kUnformattedNew)
            report_unwritable(file_name, e);
        else
            opxerr("Cannot open file " + file_name);
        return;
    }
    table().optman[found].in_use = 1;
    table().optman[found].type = type;
    table().optman[found].name = registered;
    unit = found;
}

void close_and_clear(std::int32_t unit, bool remove_file) {
    close_file(table().units[unit], remove_file);
    table().optman[unit] = Registration{};
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
        if (table().optman[u].in_use != 0 && table().optman[u].name == registered) {
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
    if (!valid_unit(unit) || table().optman[unit].in_use == 0) {
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
        const std::string kept = present_version(base + "_old.DAT");
        std::FILE* previous = kept.empty() ? nullptr : std::fopen(kept.c_str(), "r");
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
            remove_run_file(base + "_old.DAT");
        }
        if (out != nullptr) std::fputs("{ \n", out);
        return;
    }
    opnfil(base.c_str(), kFormattedUnknown, unit, static_cast<std::int32_t>(base.size()));
    if (std::FILE* out = unit_stream(unit); out != nullptr) std::fputs("@ \n{ \n", out);
}

void tqflrs() {
    for (auto& r : table().optman) r = Registration{};
}

bool open_scratch_unit(std::int32_t unit, bool formatted) {
    if (!valid_unit(unit) || table().units[unit].stream != nullptr) return false;
    return open_unit_file(table().units[unit], "", formatted ? kFormattedScratch : kUnformattedScratch);
}

void close_unit(std::int32_t unit) {
    if (!valid_unit(unit)) return;
    Unit& u = table().units[unit];
    // A new file closed this way is not complete: it does not go in place.
    close_file(u, !u.temporary.empty());
    table().optman[unit] = Registration{};
}

std::int32_t units_close_unfinished() {
    std::int32_t closed = 0;
    for (std::int32_t unit = 1; unit <= kLastUnit; ++unit) {
        Unit& u = table().units[unit];
        if (u.stream == nullptr) continue;
        ++closed;
        if (!u.temporary.empty()) report_unfinished(u.path);
        close_unit(unit);
    }
    return closed;
}

std::FILE* unit_stream(std::int32_t unit) { return valid_unit(unit) ? table().units[unit].stream : nullptr; }

std::string unit_path(std::int32_t unit) { return valid_unit(unit) ? table().units[unit].path : std::string(); }

bool unit_registered(std::int32_t unit) { return valid_unit(unit) && table().optman[unit].in_use != 0; }

bool unit_write_line(std::int32_t unit, const std::string& line) {
    std::FILE* f = unit_stream(unit);
    if (f == nullptr) return false;
    const bool ok = std::fputs(line.c_str(), f) >= 0 && std::fputc('\n', f) != EOF;
    unit_end_here(unit);
    return ok;
}

void unit_end_here(std::int32_t unit) {
    if (!valid_unit(unit)) return;
    Unit& u = table().units[unit];
    if (u.stream == nullptr) return;
    std::fflush(u.stream);
    const long at = std::ftell(u.stream);
    if (at >= 0 && make_own(u) && ::ftruncate(u.fd, at) != 0) failed(u, errno);
}

bool unit_flush(std::int32_t unit) {
    if (!valid_unit(unit) || table().units[unit].stream == nullptr) return false;
    std::fflush(table().units[unit].stream);
    return table().units[unit].error == 0;
}

void stream_end_here(std::FILE* f) {
    if (f == nullptr) return;
    for (std::int32_t unit = 1; unit <= kLastUnit; ++unit)
        if (table().units[unit].stream == f) {
            unit_end_here(unit);
            return;
        }
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
