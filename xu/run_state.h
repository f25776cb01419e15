// The state of one run of the program: what the message layer, the run's
// files, the file units and the simulation's message counters keep while a
// run works. Each module keeps its part as a type of its own (defined in its
// source file), made on first use and destroyed with the run.
//
// A run (the program's entry, a test) owns a RunState and installs it on its
// thread for its lifetime (RunStateScope); the routines of those modules
// reach it through current_run_state(). Work outside any run (a tool, a test
// calling a routine directly) uses its thread's own state. Two runs one
// after the other therefore start from nothing, as two processes would.
#pragma once

#include <memory>
#include <vector>

namespace nodrix {

class RunState {
public:
    RunState() = default;
    RunState(const RunState&) = delete;
    RunState& operator=(const RunState&) = delete;
    // Parts go in the reverse order of their making. A part's destructor
    // frees what it holds; it never calls another module.
    ~RunState();

    // The run's T, made on first use.
    template <class T>
    T& part() {
        for (const Part& p : parts_)
            if (p.tag == &kTag<T>) return *static_cast<T*>(p.object);
        T* made = new T();
        parts_.push_back(Part{&kTag<T>, made, [](void* o) { delete static_cast<T*>(o); }});
        return *made;
    }

private:
    template <class T>
    static constexpr char kTag = 0;
    struct Part {
        const void* tag;
        void* object;
        void (*destroy)(void*);
    };
    std::vector<Part> parts_;
};

// The run installed on this thread, or the thread's own state outside a run.
RunState& current_run_state();

// Makes a log the run's live one of its kind while it lives. Logs nest: the
// innermost collects, and the one it nested in is live again after it. A log
// holds one as a member, made with `this`.
template <class Log>
class LiveLog {
public:
    explicit LiveLog(Log* log) : slot_(&slot()), outer_(*slot_) { *slot_ = log; }
    ~LiveLog() { *slot_ = outer_; }
    LiveLog(const LiveLog&) = delete;
    LiveLog& operator=(const LiveLog&) = delete;
    // The run's live log of this kind, or null.
    static Log* current() { return slot(); }

private:
    struct Slot {
        Log* log = nullptr;
    };
    static Log*& slot() { return current_run_state().part<Slot>().log; }
    Log** slot_;  // where the run keeps its innermost log
    Log* outer_;
};

// Installs a run on this thread for the scope's lifetime; the run before it
// (or none) comes back after.
class RunStateScope {
public:
    explicit RunStateScope(RunState& run);
    ~RunStateScope();
    RunStateScope(const RunStateScope&) = delete;
    RunStateScope& operator=(const RunStateScope&) = delete;

private:
    RunState* previous_;
};

// A run of its own, installed for the object's lifetime.
class OwnRunState {
public:
    OwnRunState() : scope_(state_) {}

private:
    RunState state_;
    RunStateScope scope_;
};

}  // namespace nodrix
