#include "trace/trace.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

// The process-wide state is created on first use and never destroyed: components trace from
// their own static destructors and from threads that outlive main, and must not find it gone.
struct Global {
    // Guards the capture chain, and is held while a line is delivered, so that a Capture cannot
    // be destroyed while a line is being added to it and lines on standard error never interleave.
    std::mutex mutex;
    trace::Capture* top = nullptr;
};

Global& TheGlobal() {
    static Global* const global = new Global;
    return *global;
}

int ParseLevel(const char* value) {
    if (value == nullptr || *value == '\0') return 0;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
    }
    errno = 0;
    const long long parsed = std::strtoll(value, nullptr, 10);
    if (errno == ERANGE || parsed > INT_MAX) return INT_MAX;
    return static_cast<int>(parsed);
}

std::atomic<int>& Level() {
    static std::atomic<int> level{ParseLevel(std::getenv("ZEL_TRACE_LEVEL"))};
    return level;
}

trace::FatalPolicy PolicyFromEnvironment() {
    const char* abort = std::getenv("ZEL_FATAL_ABORT");
    if (abort != nullptr && std::strcmp(abort, "1") == 0) return trace::FatalPolicy::Abort;
    const char* value = std::getenv("ZEL_FATAL_POLICY");
    if (value != nullptr && std::strcmp(value, "return") == 0) return trace::FatalPolicy::Return;
    if (value != nullptr && std::strcmp(value, "abort") == 0) return trace::FatalPolicy::Abort;
    return trace::FatalPolicy::Throw;
}

std::atomic<trace::FatalPolicy>& Policy() {
    static std::atomic<trace::FatalPolicy> policy{PolicyFromEnvironment()};
    return policy;
}

std::string Format(const char* format, std::va_list args) {
    if (format == nullptr) return std::string();
    std::va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) return std::string(format);
    std::string text(static_cast<std::size_t>(length), '\0');
    // vsnprintf writes the terminator too; std::string keeps room for it past size().
    std::vsnprintf(&text[0], text.size() + 1, format, args);
    return text;
}

const char* BaseName(const char* file) {
    if (file == nullptr) return "?";
    const char* slash = std::strrchr(file, '/');
    return slash != nullptr ? slash + 1 : file;
}

const char* OrUnknown(const char* s) { return s != nullptr ? s : "?"; }

std::string Line(const trace::Record& r) {
    std::string line;
    line.reserve(r.component.size() + r.file.size() + r.function.size() + r.text.size() + 32);
    line += r.component;
    line += ' ';
    line += std::to_string(r.code);
    line += ' ';
    line += r.file;
    line += ':';
    line += std::to_string(r.line);
    line += ' ';
    line += r.function;
    line += ": ";
    // The text may hold what a peer sent (a client's name, a module's): one line per record, and
    // no control character reaches the terminal, so that nobody can forge a line or an escape.
    for (char c : r.text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (u < 0x20 || u == 0x7f) {
            static const char kHex[] = "0123456789abcdef";
            line += "\\x";
            line += kHex[u >> 4];
            line += kHex[u & 0xf];
        } else {
            line += c;
        }
    }
    line += '\n';
    return line;
}

// One write(2) per line keeps the line whole against other processes sharing the descriptor; the
// loop only runs again after a signal or a partial write to a full pipe.
void WriteToStderr(const std::string& line) {
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere left to report it
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

trace::Record MakeRecord(bool fatal, int category, int code, const char* file, int line,
                         const char* function, const char* component, const std::string& text) {
    trace::Record r;
    r.fatal = fatal;
    r.category = category;
    r.code = code;
    r.file = BaseName(file);
    r.line = line;
    r.function = OrUnknown(function);
    r.component = OrUnknown(component);
    r.text = text;
    return r;
}

}  // namespace

namespace trace {

struct Dispatch {
    static void Deliver(Record record) {
        Global& g = TheGlobal();
        std::lock_guard<std::mutex> lock(g.mutex);
        if (g.top != nullptr) {
            g.top->Add(std::move(record));
        } else {
            WriteToStderr(Line(record));
        }
    }
};

struct Capture::State {
    mutable std::mutex mutex;
    std::vector<Record> records;
};

Capture::Capture() : state_(new State), previous_(nullptr) {
    Global& g = TheGlobal();
    std::lock_guard<std::mutex> lock(g.mutex);
    previous_ = g.top;
    g.top = this;
}

Capture::~Capture() {
    {
        Global& g = TheGlobal();
        std::lock_guard<std::mutex> lock(g.mutex);
        // Normally the innermost capture goes first; if not, unlink this one from the middle of the
        // chain so that the captures around it keep working.
        if (g.top == this) {
            g.top = previous_;
        } else {
            for (Capture* c = g.top; c != nullptr; c = c->previous_) {
                if (c->previous_ == this) {
                    c->previous_ = previous_;
                    break;
                }
            }
        }
    }
    delete state_;
}

std::vector<Record> Capture::Records() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->records;
}

std::vector<Record> Capture::FatalReports() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<Record> reports;
    for (const Record& r : state_->records) {
        if (r.fatal) reports.push_back(r);
    }
    return reports;
}

void Capture::Clear() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->records.clear();
}

void Capture::Add(Record record) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->records.push_back(std::move(record));
}

ScopedLevel::ScopedLevel(int level) : previous_(Level().exchange(level)) {}

ScopedLevel::~ScopedLevel() { Level().store(previous_); }

void SetFatalPolicy(FatalPolicy policy) { Policy().store(policy); }

FatalPolicy GetFatalPolicy() { return Policy().load(); }

ScopedFatalPolicy::ScopedFatalPolicy(FatalPolicy policy) : previous_(Policy().exchange(policy)) {}

ScopedFatalPolicy::~ScopedFatalPolicy() { Policy().store(previous_); }

FatalError::FatalError(const dus_sds_report& report, const char* function, const char* component)
    : std::runtime_error(report.text),
      category_(report.category),
      code_(report.code),
      function_(OrUnknown(function)),
      component_(OrUnknown(component)) {}

void LogFatal(const char* file, int line, const char* function, const char* component,
              const dus_sds_report& report) noexcept {
    try {
        Dispatch::Deliver(MakeRecord(true, report.category, report.code, file, line, function, component, report.text));
    } catch (...) {
        // Out of memory for the record: the report is lost, the caller goes on.
    }
    if (GetFatalPolicy() == FatalPolicy::Abort) std::abort();
}

}  // namespace trace

int trace_enabled(int level) { return level >= 1 && Level().load(std::memory_order_relaxed) >= level ? 1 : 0; }

dus_trc_message dus_trc_msg(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    dus_trc_message message{Format(format, args)};
    va_end(args);
    return message;
}

void dus_trc_log(const char* file, int line, const char* function, const char* component,
                 const dus_trc_message& message) {
    trace::Dispatch::Deliver(MakeRecord(false, 0, 0, file, line, function, component, message.text));
}

dus_sds_report dus_sds_fatal(int category, int code, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    dus_sds_report report;
    report.category = category;
    report.code = code;
    report.text = Format(format, args);
    va_end(args);
    return report;
}

void dus_sds_log(const char* file, int line, const char* function, const char* component,
                 const dus_sds_report& report) {
    trace::LogFatal(file, line, function, component, report);
    if (trace::GetFatalPolicy() == trace::FatalPolicy::Throw) throw trace::FatalError(report, function, component);
}
