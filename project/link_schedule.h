// The schedule of a link: its signals, every block's output window, and the
// block calls in schedule order with their memory-map lines and delay
// records, as the driver runs them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "kernel/block.h"
#include "kernel/driver.h"
#include "kernel/schedule.h"
#include "project/link.h"

namespace nodrix {

class LinkSchedule {
public:
    // Builds the schedule of a checked link for a run in the working
    // directory. Data file names are handed to the blocks relative to it
    // where that is shorter; a name longer than the 50 characters the
    // blocks read is reported and leaves the schedule not ok().
    explicit LinkSchedule(Link link);
    LinkSchedule(const LinkSchedule&) = delete;
    LinkSchedule& operator=(const LinkSchedule&) = delete;

    bool ok() const { return ok_; }
    const Link& link() const { return link_; }

    // The project as the driver runs it (name, instance range, constants and
    // this schedule); the schedule must outlive the driver's use of it.
    ProjectDescription project();

    // The block calls in schedule order.
    std::vector<BlockCall>& calls() { return calls_; }

    // A signal as the last schedule call left it (null when the link has no
    // such optical signal).
    const OpticalSignal* optical(std::int32_t signal) const;
    // The output window of a block that fills one (null otherwise).
    const TimeWindow* window(std::int32_t id) const;
    // The window a block's input window comes from: that of the first block
    // upstream that fills one (null for sources). The eye scope and the
    // estimator observe its good interval.
    const TimeWindow* producer_window(const LinkBlock& b) const;
    // The first block upstream of `b` (along its first input) of a kind, or null.
    const LinkBlock* upstream(const LinkBlock& b, std::string_view kind) const;

private:
    const LinkBlock* window_source(const LinkBlock& b) const;
    void* signal_of(SignalKind kind, std::int32_t number);
    Connections connections(const LinkBlock& b, const BlockWiring& w);
    bool hand_over_files(LinkBlock& b);
    template <class T>
    T* signal(std::map<std::int32_t, std::unique_ptr<T>>& map, std::int32_t number);

    Link link_;
    bool ok_ = true;
    std::map<std::int32_t, std::unique_ptr<OpticalSignal>> optical_;
    std::map<std::int32_t, std::unique_ptr<ElectricalSample>> electrical_;
    std::map<std::int32_t, std::unique_ptr<LogicalSignal>> logical_;
    std::vector<std::unique_ptr<ElectricalSample>> unread_;  // outputs no block reads (unnumbered clocks)
    std::int32_t unread_outputs_ = 0;  // of declared blocks, numbered -1, -2, ...
    std::map<std::int32_t, std::unique_ptr<TimeWindow>> windows_;
    ScheduleConstants constants_;
    std::vector<BlockCall> calls_;
};

}  // namespace nodrix
