// What the measurement blocks of a link observe: what their settings ask
// for, what the emission window and end time let them observe, and the
// settings that give them their full observation. Worked out from the blocks'
// windows of a dimensioning pass (nodrix check, and before a run), and after
// a run from the coverage each block posted.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "models/measurements/observation.h"
#include "project/link_schedule.h"

namespace nodrix {

struct ObservationPlan {
    const LinkBlock* block = nullptr;
    ObservationUnit unit = ObservationUnit::bits;
    std::int64_t requested = 0;       // what its settings ask for
    std::int64_t fillable = 0;        // what the emission window and end time let it observe
    double opens_ps = 0.0;            // where its observation window opens
    double closes_ps = 0.0;           // where the observation it asks for closes
    double good_end_ps = 0.0;         // where its good interval, less the guard time, ends
    bool windowed = false;            // an estimator or scope: its own window_ps, not the good interval, closes it
    double emission_ps = 0.0;         // the emission window of the windows it was worked out from
    double emission_needed_ps = 0.0;  // the emission window whose good interval holds all it asks for
    double emission_least_ps = 0.0;   // the least such, below the present one where it has room to spare
    bool cut_by_good_interval = false;
    bool cut_by_run_end = false;
    bool cut_by_delay = false;
    std::int64_t buffer_samples = 0;  // an estimator's buffer of collected samples
    double fitting_window_ps = 0.0;   // the window_ps that asks for no more than the run can fill
    bool full() const { return requested > 0 && fillable >= requested; }
    // Where its observation ends with another emission window: the good
    // interval grows one for one with it.
    double end_with(double other_emission_ps) const {
        const double grown = good_end_ps + (other_emission_ps - emission_ps);
        return windowed ? std::min(closes_ps, grown) : grown;
    }
};

// The estimators, eye scopes, power meters and spectrum analysers of the
// link, in schedule order, with the windows of the last dimensioning pass.
std::vector<ObservationPlan> plan_observations(const LinkSchedule& s);

// The emission window and end time a link leaves "auto", worked out from
// the windows of the last dimensioning pass: the least emission window that
// gives every measurement its full observation, and the end time at which
// the last observation ends (without measurements, the end of the last
// block's window). `problem` says why they cannot be worked out.
struct AutoSettings {
    double emission_ps = 0.0;
    double end_ps = 0.0;
    std::string problem;
};
AutoSettings work_out_auto_settings(const LinkSchedule& s);

// nodrix check: a warning for each measurement that will not observe all it
// asks for, saying why, then one naming the emission window and the end time
// that give every measurement its full observation.
void warn_observation_plans(const LinkSchedule& s);

// Before a run: an estimator whose window asks for far more than the run can
// fill is a warning naming the storage it takes; one whose samples no
// estimator can hold is an error. False after an error.
bool check_observation_storage(const LinkSchedule& s);

// After a simulation: a warning for each measurement that observed less than
// it asked for, naming what cut it short and the settings that give it its
// full observation, and the estimators' own warnings on their statistics.
void warn_observations_after_run(const LinkSchedule& s);

// "partial: 50 of 128 bits"
std::string coverage_mark(const ObservationCoverage& coverage);

}  // namespace nodrix
