#include "tests/support/block_bench.h"

#include <stdexcept>

namespace nodrix::testing {

namespace {

const KindSpec& declared(std::string_view kind) {
    const KindSpec* k = find_registered_kind(kind);
    if (k == nullptr) throw std::logic_error("no declared kind " + std::string(kind));
    return *k;
}

}  // namespace

BlockBench::BlockBench(std::string_view kind, const SimulationSettings& settings)
    : kind_(&declared(kind)), settings_(BlockSettings::defaults(*kind_)), context_(settings) {
    connections_.window = &window_;
}

BlockBench& BlockBench::set(std::string_view param, double number) {
    settings_.set_number(param, number);
    return *this;
}

BlockBench& BlockBench::set(std::string_view param, const std::string& text) {
    settings_.set_text(param, text);
    return *this;
}

TimeWindow& BlockBench::producer_window() {
    connections_.producer_window = &producer_;
    return producer_;
}

Block& BlockBench::make() {
    block_ = kind_->create(settings_, connections_);
    return *block_;
}

Status BlockBench::design() {
    if (!block_) make();
    context_.enter_phase(Phase::design);
    return block_->design(context_);
}

Status BlockBench::setup() {
    context_.enter_phase(Phase::setup);
    return block_->setup(context_);
}

Status BlockBench::start() {
    Status s = design();
    const Status set_up = setup();
    for (const std::string& e : set_up.errors()) s.add(e);
    return s;
}

void BlockBench::run(std::int32_t step) {
    context_.enter_sample(step);
    block_->run(context_);
}

Status BlockBench::finish() {
    context_.enter_phase(Phase::finish);
    return block_->finish(context_);
}

}  // namespace nodrix::testing
