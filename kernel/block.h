// A block of the link: its ports (by name and kind of signal), the state it
// owns, the outcome of its phases, and the lifecycle the schedule drives:
// design in every set-up round, set-up once per run, run once per sample,
// finish once after the last sample. A kind of block declares all of it in
// one struct (kernel/block_declaration.h); this header holds the parts.
#pragma once

#include <algorithm>
#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/block_kind.h"
#include "kernel/run_context.h"
#include "kernel/signals.h"
#include "kernel/status.h"
#include "kernel/storage.h"

namespace nodrix {

// ---- Signals and ports -----------------------------------------------------

// The kind of signal of a sample type.
template <class Sample>
struct SignalTraits;
template <>
struct SignalTraits<OpticalSignal> {
    static constexpr SignalKind kind = SignalKind::optical;
};
template <>
struct SignalTraits<ElectricalSample> {
    static constexpr SignalKind kind = SignalKind::electrical;
};
template <>
struct SignalTraits<LogicalSignal> {
    static constexpr SignalKind kind = SignalKind::logical;
};

// What a port not given reads: a signal that carries nothing (no light, no
// voltage, no data).
template <class Sample>
const Sample& idle_signal() {
    static const Sample idle{};
    return idle;
}

// Who a block is in its link: its instance number (the number its files,
// random streams and messages carry) and, for a piece of a fibre cut into
// consecutive pieces, the whole fibre's number and where the piece starts
// along it (0 and 0 for any other block).
struct BlockIdentity {
    std::int32_t instance = 0;
    std::int32_t whole_fibre = 0;
    double piece_start_km = 0.0;
};

// The signals and windows a block is connected to, by port name and kind of
// signal, as the link's schedule resolved them. Signals and windows stay
// where they are for the life of the schedule.
class Connections {
public:
    void add_input(std::string_view port, SignalKind kind, const void* signal);
    void add_output(std::string_view port, SignalKind kind, void* signal);
    // The signals a port reads, in the order given; empty when not connected.
    template <class Sample>
    std::vector<const Sample*> inputs(std::string_view port) const {
        std::vector<const Sample*> found;
        for (const Entry& e : entries_)
            if (e.read != nullptr && e.port == port && e.kind == SignalTraits<Sample>::kind)
                found.push_back(static_cast<const Sample*>(e.read));
        return found;
    }
    // The signal an output port writes; null when not connected.
    template <class Sample>
    Sample* output(std::string_view port) const {
        for (const Entry& e : entries_)
            if (e.written != nullptr && e.port == port && e.kind == SignalTraits<Sample>::kind)
                return static_cast<Sample*>(e.written);
        return nullptr;
    }
    // The output window of the block whose start this block's input window
    // takes (null for sources), and the block's own output window.
    const TimeWindow* producer_window = nullptr;
    TimeWindow* window = nullptr;
    BlockIdentity identity;

private:
    struct Entry {
        std::string port;
        SignalKind kind;
        const void* read;  // an input's signal, or null
        void* written;     // an output's signal, or null
    };
    std::vector<Entry> entries_;
};

// A port reading one signal.
template <class Sample>
class Input {
public:
    const Sample& operator*() const { return *signal_; }
    const Sample* operator->() const { return signal_; }
    bool connected() const { return signal_ != &idle_signal<Sample>(); }
    void connect(const std::vector<const Sample*>& signals) {
        signal_ = signals.empty() ? &idle_signal<Sample>() : signals.front();
    }

private:
    const Sample* signal_ = &idle_signal<Sample>();
};

// A port reading up to N signals (a combiner's inputs); those not given read
// the idle signal.
template <class Sample, int N>
class Inputs {
public:
    static constexpr int kCapacity = N;
    const Sample& operator[](int k) const { return *signals_[static_cast<std::size_t>(k)]; }
    int count() const { return count_; }
    void connect(const std::vector<const Sample*>& signals) {
        count_ = static_cast<int>(std::min<std::size_t>(signals.size(), N));
        for (int k = 0; k < N; ++k)
            signals_[static_cast<std::size_t>(k)] = k < count_ ? signals[static_cast<std::size_t>(k)] : &idle_signal<Sample>();
    }

private:
    std::array<const Sample*, N> signals_{};
    int count_ = 0;
};

// A port writing one signal.
template <class Sample>
class Output {
public:
    Sample& operator*() const { return *signal_; }
    Sample* operator->() const { return signal_; }
    bool connected() const { return signal_ != nullptr; }
    void connect(Sample* signal) { signal_ = signal; }

private:
    Sample* signal_ = nullptr;
};

// The time windows of a block that fills one: its own output window, and
// that of the block its input window starts from.
class Window {
public:
    void connect(const TimeWindow* producer, TimeWindow* own) {
        producer_ = producer;
        own_ = own;
    }
    InputWindow input(const RunContext& ctx) const { return ctx.input_window(producer_); }
    TimeWindow& output() const { return *own_; }
    // The producer's window (null for a block fed by sources only).
    const TimeWindow* producer() const { return producer_; }

private:
    const TimeWindow* producer_ = nullptr;
    TimeWindow* own_ = nullptr;
};

// ---- State -----------------------------------------------------------------

// The storage kind that an element type of state is counted as.
template <class T>
struct StateTraits;
template <>
struct StateTraits<float> {
    static constexpr SlotKind kind = SlotKind::real;
};
template <>
struct StateTraits<std::int32_t> {
    static constexpr SlotKind kind = SlotKind::integer;
};
template <>
struct StateTraits<double> {
    static constexpr SlotKind kind = SlotKind::real_double;
};
template <>
struct StateTraits<std::complex<float>> {
    static constexpr SlotKind kind = SlotKind::complex;
};
template <>
struct StateTraits<std::complex<double>> {
    static constexpr SlotKind kind = SlotKind::complex_double;
};

// Storage that starts on a cache line (64 bytes). A fibre's buffers are
// transformed by FFTW and swept by the element loops with 32-byte loads;
// from the plain heap a large array starts 16 bytes past a page, so half of
// those loads straddle two lines.
template <class T>
struct CacheLineAllocator {
    using value_type = T;
    static constexpr std::align_val_t kAlignment{64};
    CacheLineAllocator() = default;
    template <class U>
    CacheLineAllocator(const CacheLineAllocator<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlignment)); }
    void deallocate(T* p, std::size_t) { ::operator delete(p, kAlignment); }
    template <class U>
    bool operator==(const CacheLineAllocator<U>&) const {
        return true;
    }
};

// A record of a block's state, a member of the block: elements of T that its
// design claims (and the memory map counts), allocated (on a cache line) and
// zeroed once at its set-up, kept for the whole run.
template <class T>
class State {
public:
    T& operator[](std::size_t k) { return values_[k]; }
    const T& operator[](std::size_t k) const { return values_[k]; }
    T* data() { return values_.data(); }
    const T* data() const { return values_.data(); }
    std::int32_t size() const { return static_cast<std::int32_t>(values_.size()); }
    std::span<T> values() { return values_; }
    // Sizes the record to n zeroed elements (StateClaims::allocate).
    void allocate(std::int32_t n) { values_.assign(static_cast<std::size_t>(n), T{}); }

private:
    std::vector<T, CacheLineAllocator<T>> values_;
};

// The state records a block's design claims, in the order it claims them:
// each is counted as the kernel storage counts a record of its kind (the
// elements and the record's header), and allocated at set-up.
class StateClaims {
public:
    template <class T>
    void claim(State<T>& record, std::int32_t elements) {
        claims_.push_back(Claim{StateTraits<T>::kind, elements, &record,
                                [](void* r, std::int32_t n) { static_cast<State<T>*>(r)->allocate(n); },
                                [](const void* r) -> const void* { return static_cast<const State<T>*>(r)->data(); }});
    }
    void clear() { claims_.clear(); }
    bool empty() const { return claims_.empty(); }
    // Every claim counted into the run's storage account.
    void account(const StorageAccount& storage) const;
    // Every claimed record sized to its elements, zeroed.
    void allocate() const;
    // The bytes the memory map shows for the claims (headers included).
    std::int64_t bytes() const;
    // f(kind, values, elements) for every claimed record, once allocated (for
    // tools that look into a block's state).
    template <class F>
    void visit(F&& f) const {
        for (const Claim& c : claims_) f(c.kind, c.values(c.record), c.elements);
    }

private:
    struct Claim {
        SlotKind kind;
        std::int32_t elements;
        void* record;
        void (*allocate)(void* record, std::int32_t elements);
        const void* (*values)(const void* record);
    };
    std::vector<Claim> claims_;
};

// ---- Lifecycle -------------------------------------------------------------

// A block as the schedule drives it. Errors come back as values; the
// schedule names the block when it reports them.
class Block {
public:
    virtual ~Block() = default;
    // The dimensioning pass's work, in every set-up round: the spectral
    // description and window of the outputs, and the state to hold (claimed,
    // and counted into the run's storage account).
    virtual Status design(const RunContext& ctx) = 0;
    // Once per run, after a design: the claimed state allocated and
    // initialised.
    virtual Status setup(const RunContext& ctx) = 0;
    // One sample.
    virtual void run(const RunContext& ctx) = 0;
    // Once after the last sample (reports).
    virtual Status finish(const RunContext& ctx) = 0;
    // The state the last design claimed.
    virtual const StateClaims& claims() const = 0;
};

}  // namespace nodrix
