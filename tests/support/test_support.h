// Test support: every test runs in its own temporary directory (the program
// writes its files into the current directory) and a run of its own (its
// messages, files and units), with the kernel error state and the storage
// sizing reset.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel/block.h"
#include "xu/run_state.h"

namespace nodrix::testing {

class NodrixTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path dir_;
    std::filesystem::path previous_;
    // The test's run: messages, files and units of its own.
    std::unique_ptr<OwnRunState> run_;
};

// Reads a whole file as bytes / as text.
std::vector<unsigned char> read_bytes(const std::string& path);
std::string read_text(const std::string& path);
void write_text(const std::string& path, const std::string& text);

// Little-endian byte builders for expected file layouts.
void put_i32(std::vector<unsigned char>& out, std::int32_t v);
void put_f64(std::vector<unsigned char>& out, double v);
void put_text(std::vector<unsigned char>& out, const std::string& s, bool nul = true);

// Sets up the filter design tables as a link's start-up does.
void set_project_constants();

// A block whose design and run are the functions given (either may be
// empty), for schedule and driver tests.
class ScriptedBlock : public Block {
public:
    using Step = std::function<void(const RunContext&)>;
    explicit ScriptedBlock(Step design, Step run = nullptr) : design_(std::move(design)), run_(std::move(run)) {}
    Status design(const RunContext& ctx) override {
        if (design_) design_(ctx);
        return {};
    }
    Status setup(const RunContext&) override { return {}; }
    void run(const RunContext& ctx) override {
        if (run_) run_(ctx);
    }
    Status finish(const RunContext&) override { return {}; }
    const StateClaims& claims() const override { return claims_; }

private:
    Step design_, run_;
    StateClaims claims_;
};

// Whether FFTW's wisdom holds the measured plans of length n, both
// directions, for aligned out-of-place arrays (those of the plan store).
bool wisdom_holds(int n);

// Makes a character device node at `path` with the numbers of the kernel's
// "full" device (every write to it fails for want of space), for outputs a
// program must not replace. Empty when made, else why not (not root, say).
std::string make_full_device(const std::string& path);

// A small file system of its own (a tmpfs of `size_kib` KiB mounted on the
// directory `path`), filled until `free_kib` KiB are left, for writes that
// run out of space; unmounted when the object goes. `unavailable` says why it
// could not be had (mounting needs root).
class SmallDisk {
public:
    SmallDisk(const std::string& path, int size_kib, int free_kib);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    std::string unavailable;

private:
    std::string path_;
};

}  // namespace nodrix::testing
