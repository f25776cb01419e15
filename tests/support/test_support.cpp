#include "tests/support/test_support.h"

#include <fftw3.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>

#include "numerics/filter_tables.h"
#include "kernel/driver.h"
#include "kernel/lib00.h"
#include "kernel/filexx.h"
#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "runtime/wisdom.h"
#include "xu/xu_msg.h"

namespace nodrix::testing {

void NodrixTest::SetUp() {
    previous_ = std::filesystem::current_path();
    char templ[] = "/tmp/nodrix-test-XXXXXX";
    const char* made = ::mkdtemp(templ);
    ASSERT_NE(made, nullptr);
    dir_ = made;
    std::filesystem::current_path(dir_);
    run_ = std::make_unique<OwnRunState>();
    xu_MsgInit("Nodrix", 56, nullptr, nullptr);
    reset_kernel_errors();
    set_storage_sizing(StorageSizing{});
}

void NodrixTest::TearDown() {
    opxplandestroy();  // the FFT plans a test had made
    // What the test's run left open.
    io_close_all();
    reset_units();
    run_.reset();
    std::filesystem::current_path(previous_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::vector<unsigned char> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

void put_i32(std::vector<unsigned char>& out, std::int32_t v) {
    unsigned char b[4];
    std::memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
}

void put_f64(std::vector<unsigned char>& out, double v) {
    unsigned char b[8];
    std::memcpy(b, &v, 8);
    out.insert(out.end(), b, b + 8);
}

void put_text(std::vector<unsigned char>& out, const std::string& s, bool nul) {
    out.insert(out.end(), s.begin(), s.end());
    if (nul) out.push_back(0);
}

void set_project_constants() { opx_filter_init(); }

bool wisdom_holds(int n) {
    fftw_complex* a = fftw_alloc_complex(static_cast<std::size_t>(n));
    fftw_complex* b = fftw_alloc_complex(static_cast<std::size_t>(n));
    bool holds = true;
    for (const int direction : {FFTW_FORWARD, FFTW_BACKWARD}) {
        fftw_plan p = fftw_plan_dft_1d(n, a, b, direction, FFTW_MEASURE | FFTW_WISDOM_ONLY);
        holds = holds && p != nullptr;
        if (p != nullptr) fftw_destroy_plan(p);
    }
    fftw_free(a);
    fftw_free(b);
    return holds;
}

std::string make_full_device(const std::string& path) {
    if (::mknod(path.c_str(), S_IFCHR | 0666, ::makedev(1, 7)) == 0) return "";
    return std::string("cannot make a device node (mknod needs root): ") + std::strerror(errno);
}

SmallDisk::SmallDisk(const std::string& path, int size_kib, int free_kib) : path_(path) {
    std::filesystem::create_directories(path);
    if (::mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + std::to_string(size_kib) + "k").c_str()) != 0) {
        unavailable = std::string("cannot mount a small tmpfs (it needs root): ") + std::strerror(errno);
        return;
    }
    write_text(path + "/filler", std::string(static_cast<std::size_t>(size_kib - free_kib) * 1024, 'f'));
}

SmallDisk::~SmallDisk() {
    if (unavailable.empty()) ::umount2(path_.c_str(), MNT_DETACH);
}

}  // namespace nodrix::testing
