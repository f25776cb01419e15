// A kind of block declared as one struct, in its model's own file: what it
// is, its parameters bound to members (name with unit, type, default, range,
// help), its ports bound to members, its window, the state it owns, and what
// it does in each phase. docs/adding-a-block.md walks through one.
//
//   struct Attenuator {
//       float loss_db = 0.0f;
//       Input<OpticalSignal> input;
//       Output<OpticalSignal> output;
//       Window window;
//       static KindDeclaration<Attenuator> declaration() {
//           return {.name = "attenuator", .help = "...", .family = BlockFamily::transmitters,
//                   .parameters = {parameter(&Attenuator::loss_db, {.name = "loss_db", .unit = "dB", ...})},
//                   .inputs = {port(&Attenuator::input, {.key = "input", .help = "the light in"})},
//                   .outputs = {port(&Attenuator::output, {.key = "output", .help = "the light out"})},
//                   .window = &Attenuator::window};
//       }
//       Status design(const RunContext& ctx, StateClaims& state);  // optional
//       Status setup(const RunContext& ctx);                       // optional
//       void run(const RunContext& ctx);
//       Status finish(const RunContext& ctx);                      // optional
//   };
//   const KindRegistration registration{declare_kind<Attenuator>()};
//
// design and finish may also return nothing (void), when they cannot fail.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "kernel/block.h"
#include "kernel/block_kind.h"

namespace nodrix {

// A parameter: its declaration and the member it sets.
template <class B>
struct Parameter {
    ParamSpec entry;
    std::function<void(B&, const ParamValue&)> set;
};

// A parameter bound to a member. The member's type gives the parameter's
// type where it can (float or double: real; bool: flag; a list of integers:
// integer_list; a whole number: integer unless its entry says choice; a text:
// text unless its entry says file).
template <class B, class T>
Parameter<B> parameter(T B::*member, ParamSpec entry) {
    if constexpr (std::is_same_v<T, bool>) {
        entry.type = ParamType::flag;
    } else if constexpr (std::is_same_v<T, std::vector<std::int32_t>>) {
        entry.type = ParamType::integer_list;
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        if (entry.type != ParamType::choice) entry.type = ParamType::integer;
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (entry.type != ParamType::file) entry.type = ParamType::text;
    } else {
        static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>, "a parameter member of no known type");
        entry.type = ParamType::real;
    }
    return Parameter<B>{entry, [member](B& b, const ParamValue& v) {
                            if constexpr (std::is_same_v<T, bool>) {
                                b.*member = v.number != 0.0;
                            } else if constexpr (std::is_same_v<T, std::vector<std::int32_t>>) {
                                b.*member = v.list;
                            } else if constexpr (std::is_same_v<T, std::string>) {
                                b.*member = v.text;
                            } else {
                                // Numbers reach a block in its member's precision
                                // (a real member: single precision, as the blocks read them).
                                b.*member = static_cast<T>(v.number);
                            }
                        }};
}

// A port: its declaration and the member it connects.
template <class B>
struct Port {
    PortSpec entry;
    std::function<void(B&, const Connections&)> connect;
};

// A port bound to a member; its kind of signal is the member's.
template <class B, class Sample>
Port<B> port(Input<Sample> B::*member, PortSpec entry) {
    entry.kind = SignalTraits<Sample>::kind;
    entry.max_count = 1;
    const std::string key(entry.key);
    return Port<B>{entry, [member, key](B& b, const Connections& c) { (b.*member).connect(c.inputs<Sample>(key)); }};
}

template <class B, class Sample, int N>
Port<B> port(Inputs<Sample, N> B::*member, PortSpec entry) {
    entry.kind = SignalTraits<Sample>::kind;
    entry.max_count = N;
    const std::string key(entry.key);
    return Port<B>{entry, [member, key](B& b, const Connections& c) { (b.*member).connect(c.inputs<Sample>(key)); }};
}

template <class B, class Sample>
Port<B> port(Output<Sample> B::*member, PortSpec entry) {
    entry.kind = SignalTraits<Sample>::kind;
    entry.max_count = 1;
    const std::string key(entry.key);
    return Port<B>{entry, [member, key](B& b, const Connections& c) { (b.*member).connect(c.output<Sample>(key)); }};
}

// Everything a kind declares, in one place.
template <class B>
struct KindDeclaration {
    std::string_view name;      // the word of link files
    std::string_view routine;   // the routine of the original library, where there is one
    std::string_view help;      // one line
    BlockFamily family = BlockFamily::transmitters;
    std::vector<Parameter<B>> parameters;
    std::vector<Port<B>> inputs;
    std::vector<Port<B>> outputs;
    Window B::*window = nullptr;  // the output window the block fills; null: none
    bool delay_record = false;    // fibres and optical filters: a delay file record
    // Where the block keeps who it is (its instance number for its files and
    // streams); null when it need not know.
    BlockIdentity B::*identity = nullptr;
    // What is wrong with a block's values beyond single parameters, against
    // each other and the link's run settings; null when nothing can be.
    BlockCheck check = nullptr;
};

// The declaration of a kind, made once.
template <class B>
const KindDeclaration<B>& declaration_of() {
    static const KindDeclaration<B> declaration = B::declaration();
    return declaration;
}

// A block of a declared kind as the schedule drives it.
template <class B>
class KindBlock final : public Block {
public:
    B block;

    Status design(const RunContext& ctx) override {
        claims_.clear();
        Status status;
        if constexpr (requires(B& b, StateClaims& c) { b.design(ctx, c); }) status = outcome([&] { return block.design(ctx, claims_); });
        claims_.account(ctx.storage());
        return status;
    }
    Status setup(const RunContext& ctx) override {
        claims_.allocate();
        if constexpr (requires(B& b) { b.setup(ctx); }) return outcome([&] { return block.setup(ctx); });
        return {};
    }
    void run(const RunContext& ctx) override { block.run(ctx); }
    Status finish(const RunContext& ctx) override {
        if constexpr (requires(B& b) { b.finish(ctx); }) return outcome([&] { return block.finish(ctx); });
        return {};
    }
    const StateClaims& claims() const override { return claims_; }

private:
    // A phase that returns nothing cannot fail.
    template <class F>
    static Status outcome(F&& phase) {
        if constexpr (std::is_void_v<decltype(phase())>) {
            phase();
            return {};
        } else {
            return phase();
        }
    }
    StateClaims claims_;
};

// A block of the kind B with its settings and connections bound.
template <class B>
std::unique_ptr<Block> create_block(const BlockSettings& settings, const Connections& connections) {
    const KindDeclaration<B>& d = declaration_of<B>();
    auto made = std::make_unique<KindBlock<B>>();
    for (const Parameter<B>& p : d.parameters) p.set(made->block, settings.value(p.entry.name));
    for (const Port<B>& p : d.inputs) p.connect(made->block, connections);
    for (const Port<B>& p : d.outputs) p.connect(made->block, connections);
    if (d.window != nullptr) (made->block.*d.window).connect(connections.producer_window, connections.window);
    if (d.identity != nullptr) made->block.*d.identity = connections.identity;
    return made;
}

// The registry's entry of the kind B.
template <class B>
KindSpec declare_kind() {
    const KindDeclaration<B>& d = declaration_of<B>();
    KindSpec k;
    k.name = d.name;
    k.routine = d.routine;
    k.help = d.help;
    k.family = d.family;
    for (const Parameter<B>& p : d.parameters) k.params.push_back(p.entry);
    for (const Port<B>& p : d.inputs) k.inputs.push_back(p.entry);
    for (const Port<B>& p : d.outputs) k.outputs.push_back(p.entry);
    k.windowed = d.window != nullptr;
    k.delay_record = d.delay_record;
    k.check = d.check;
    k.create = &create_block<B>;
    return k;
}

}  // namespace nodrix
