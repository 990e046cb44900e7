// The trace facility: trace lines for diagnostics and fatal reports for failures.
//
// The five free functions keep their historical, undecorated names because every component of the
// controller calls them. A message or report is made first (dus_trc_msg, dus_sds_fatal) and handed
// straight to the writer (dus_trc_log, dus_sds_log), which adds where it came from.
//
// Where lines go: by default each one is written to standard error as a single line
//     <component> <code> <file>:<line> <function>: <text>
// (trace lines carry the code 0). A trace::Capture installed by a test receives them instead.
// Callers pass __FILE__, so only the part after the last '/' is kept, both on standard error and
// in trace::Record::file. On standard error a line break inside the text is written as "\n" and a
// carriage return as "\r", so that one report is always one line of the log; a Capture receives
// the text unchanged. A null file, function or component is written as "?".
//
// Trace level: trace_enabled(level) is nonzero when `level` is at least 1 and the level read from
// the environment variable ZEL_TRACE_LEVEL (a decimal number, default 0: tracing off) is at least
// `level`. The variable is read once, at the first call; a value that is not a plain decimal
// number counts as 0, one beyond the range of int as the largest int. A trace::ScopedLevel
// overrides it for its lifetime.
//
// After writing a fatal report, dus_sds_log acts on it by the process's fatal policy:
//   throw   (the default) it throws trace::FatalError, carrying the category, code and text, so that
//           the operation that failed fails: no made-up value stands in for a result nobody knows;
//   return  it returns to its caller, which carries on with a safe default (an empty pointer, a
//           default value), as components written for the historical facility expect;
//   abort   it aborts the process (a Capture receives the report first): for debugging a service.
// ZEL_FATAL_POLICY=throw|return|abort sets it for the process (read once, on first use; the older
// ZEL_FATAL_ABORT=1 means abort); trace::SetFatalPolicy and trace::ScopedFatalPolicy in code.
// Code that must not throw (a destructor, a noexcept path) reports with trace::LogFatal, which
// writes the report and never throws, whatever the policy.
//
// A format that vsnprintf cannot expand (an encoding error) leaves the format itself as the text.
//
// Thread safety: every function may be called from any thread; lines are written whole.
// Formats are printf formats: pass data only as arguments, never as the format.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// The value of dus_trc_msg: the formatted text of one trace line.
struct dus_trc_message {
    std::string text;
};

// The value of dus_sds_fatal: a failure's category, code and formatted text.
struct dus_sds_report {
    int category = 0;
    int code = 0;
    std::string text;
};

int trace_enabled(int level);

dus_trc_message dus_trc_msg(const char* format, ...) __attribute__((format(printf, 1, 2)));

void dus_trc_log(const char* file, int line, const char* function, const char* component,
                 const dus_trc_message& message);

dus_sds_report dus_sds_fatal(int category, int code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void dus_sds_log(const char* file, int line, const char* function, const char* component,
                 const dus_sds_report& report);

namespace trace {

// One line as written: a trace line (fatal == false, category and code 0) or a fatal report.
struct Record {
    bool fatal = false;
    int category = 0;
    int code = 0;
    std::string file;
    int line = 0;
    std::string function;
    std::string component;
    std::string text;
};

// While alive, receives every line of the process instead of standard error. Captures nest: the
// most recent one receives, and destroying it restores the one before (or standard error).
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // A copy of what has arrived so far, in order.
    std::vector<Record> Records() const;
    std::vector<Record> FatalReports() const;
    void Clear();

private:
    friend struct Dispatch;
    void Add(Record record);
    struct State;
    State* state_;
    Capture* previous_;
};

// Overrides the trace level for its lifetime (restoring the previous level afterwards).
class ScopedLevel {
public:
    explicit ScopedLevel(int level);
    ~ScopedLevel();
    ScopedLevel(const ScopedLevel&) = delete;
    ScopedLevel& operator=(const ScopedLevel&) = delete;

private:
    int previous_;
};

// What dus_sds_log does once a report is written (see the top of this file).
enum class FatalPolicy { Throw, Return, Abort };
void SetFatalPolicy(FatalPolicy policy);
FatalPolicy GetFatalPolicy();

// Sets the policy for its lifetime, restoring the previous one afterwards.
class ScopedFatalPolicy {
public:
    explicit ScopedFatalPolicy(FatalPolicy policy);
    ~ScopedFatalPolicy();
    ScopedFatalPolicy(const ScopedFatalPolicy&) = delete;
    ScopedFatalPolicy& operator=(const ScopedFatalPolicy&) = delete;

private:
    FatalPolicy previous_;
};

// A fatal report, thrown under FatalPolicy::Throw; what() is the report's text.
class FatalError : public std::runtime_error {
public:
    FatalError(const dus_sds_report& report, const char* function, const char* component);
    int Category() const noexcept { return category_; }
    int Code() const noexcept { return code_; }
    // The qualified name of the function that reported, and its component.
    const std::string& Function() const noexcept { return function_; }
    const std::string& Component() const noexcept { return component_; }

private:
    int category_;
    int code_;
    std::string function_;
    std::string component_;
};

// dus_sds_log for code that must not throw: writes the report, and aborts under
// FatalPolicy::Abort, but never throws.
void LogFatal(const char* file, int line, const char* function, const char* component,
              const dus_sds_report& report) noexcept;

}  // namespace trace
