// The trace facility: formatting, where lines go (captures and standard error), trace levels and
// the fatal-report modes.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "trace/trace.h"

namespace {

// Sends file descriptor 2 to an anonymous temporary file for its lifetime, so the test sees
// exactly the bytes the facility wrote.
class StderrToFile {
public:
    StderrToFile() : file_(std::tmpfile()) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(::fileno(file_), STDERR_FILENO);
    }
    ~StderrToFile() {
        Restore();
        std::fclose(file_);
    }
    StderrToFile(const StderrToFile&) = delete;
    StderrToFile& operator=(const StderrToFile&) = delete;

    // Puts standard error back and returns what was written meanwhile.
    std::string Finish() {
        Restore();
        std::string out;
        std::rewind(file_);
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
        return out;
    }

private:
    void Restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    std::FILE* file_;
    int saved_ = -1;
};

void Trace(const std::string& text) {
    dus_trc_log("/src/unit/probe.cpp", 1, "Probe", "test", dus_trc_msg("%s", text.c_str()));
}

std::vector<std::string> Texts(const trace::Capture& capture) {
    std::vector<std::string> texts;
    for (const trace::Record& r : capture.Records()) texts.push_back(r.text);
    return texts;
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(TraceFormat, ExpandsLikePrintf) {
    struct Case {
        std::string got;
        std::string want;
    } cases[] = {
        {dus_trc_msg("plain").text, "plain"},
        {dus_trc_msg("%d + %d = %d", 2, 2, 4).text, "2 + 2 = 4"},
        {dus_trc_msg("%5.1f|%-3s|%03x", 3.14159, "a", 10).text, "  3.1|a  |00a"},
        {dus_trc_msg("100%%").text, "100%"},
        {dus_trc_msg("%s", "").text, ""},
        {dus_trc_msg("").text, ""},
        // A NUL produced by the format belongs to the text; it must not cut it short.
        {dus_trc_msg("a%cb", 0).text, std::string("a\0b", 3)},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(TraceFormat, TextOfAnyLengthArrivesWhole) {
    for (std::size_t size : {255u, 256u, 1023u, 1024u, 4095u, 4096u, 65537u, 1u << 20}) {
        const std::string body(size, 'x');
        const std::string text = dus_trc_msg("<%s|%zu>", body.c_str(), size).text;
        EXPECT_EQ(text, "<" + body + "|" + std::to_string(size) + ">") << "size " << size;

        const dus_sds_report report = dus_sds_fatal(1, 2, "%s!", body.c_str());
        EXPECT_EQ(report.text, body + "!") << "size " << size;
    }
}

TEST(TraceFormat, FatalReportKeepsCategoryAndCode) {
    const dus_sds_report report = dus_sds_fatal(-3, 70000, "lost %s after %d tries", "peer", 3);
    EXPECT_EQ(report.category, -3);
    EXPECT_EQ(report.code, 70000);
    EXPECT_EQ(report.text, "lost peer after 3 tries");
}

// Data that looks like a format must travel as data through every stage, including the writers.
TEST(TraceFormat, DirectivesInsideArgumentsArriveLiterally) {
    const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);  // the writing is tested here
    const char* hostile = "%s%s%n %d %% %x";
    EXPECT_EQ(dus_trc_msg("%s", hostile).text, hostile);
    EXPECT_EQ(dus_sds_fatal(1, 2, "user %s", hostile).text, std::string("user ") + hostile);

    {
        trace::Capture capture;
        dus_trc_log("f.cpp", 1, "F", "c", dus_trc_msg("%s", hostile));
        dus_sds_log("f.cpp", 2, "F", "c", dus_sds_fatal(1, 2, "%s", hostile));
        EXPECT_EQ(Texts(capture), (Strings{hostile, hostile}));
    }

    StderrToFile err;
    dus_trc_log("f.cpp", 1, "F", "c", dus_trc_msg("%s", hostile));
    dus_sds_log("f.cpp", 2, "F", "c", dus_sds_fatal(1, 2, "%s", hostile));
    EXPECT_EQ(err.Finish(), std::string("c 0 f.cpp:1 F: ") + hostile + "\nc 2 f.cpp:2 F: " + hostile + "\n");
}

TEST(TraceRecords, CarryWhereTheyCameFromWithTheDirectoryStripped) {
    const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);  // the writing is tested here
    trace::Capture capture;
    dus_trc_log("/home/build/runtime/ipc2/src/connector.cpp", 120, "Connect", "ipc2", dus_trc_msg("up"));
    dus_sds_log("relative/dir/auth.cpp", 42, "Login", "aai", dus_sds_fatal(3, 17, "no session"));
    dus_trc_log("plain.cpp", 9, "Plain", "x", dus_trc_msg("p"));
    dus_trc_log(nullptr, 0, nullptr, nullptr, dus_trc_msg("anonymous"));

    const std::vector<trace::Record> records = capture.Records();
    ASSERT_EQ(records.size(), 4u);

    const trace::Record& line = records[0];
    EXPECT_FALSE(line.fatal);
    EXPECT_EQ(line.category, 0);
    EXPECT_EQ(line.code, 0);
    EXPECT_EQ(line.file, "connector.cpp");
    EXPECT_EQ(line.line, 120);
    EXPECT_EQ(line.function, "Connect");
    EXPECT_EQ(line.component, "ipc2");
    EXPECT_EQ(line.text, "up");

    const trace::Record& report = records[1];
    EXPECT_TRUE(report.fatal);
    EXPECT_EQ(report.category, 3);
    EXPECT_EQ(report.code, 17);
    EXPECT_EQ(report.file, "auth.cpp");
    EXPECT_EQ(report.line, 42);
    EXPECT_EQ(report.function, "Login");
    EXPECT_EQ(report.component, "aai");
    EXPECT_EQ(report.text, "no session");

    EXPECT_EQ(records[2].file, "plain.cpp");
    EXPECT_EQ(records[3].file, "?");
    EXPECT_EQ(records[3].function, "?");
    EXPECT_EQ(records[3].component, "?");

    const std::vector<trace::Record> fatal = capture.FatalReports();
    ASSERT_EQ(fatal.size(), 1u);
    EXPECT_EQ(fatal[0].text, "no session");

    capture.Clear();
    EXPECT_TRUE(capture.Records().empty());
    Trace("after clear");
    EXPECT_EQ(Texts(capture), Strings{"after clear"});
}

TEST(TraceCapture, NestsAndRestoresThePreviousReceiver) {
    StderrToFile err;
    {
        trace::Capture outer;
        Trace("to outer");
        {
            trace::Capture inner;
            Trace("to inner");
            EXPECT_EQ(Texts(inner), Strings{"to inner"});
        }
        Trace("to outer again");
        EXPECT_EQ(Texts(outer), (Strings{"to outer", "to outer again"}));
    }
    Trace("to stderr");
    EXPECT_EQ(err.Finish(), "test 0 probe.cpp:1 Probe: to stderr\n");
}

// A capture owned by a fixture may outlive one made later in a test; whichever goes first, the
// others must keep receiving and the chain must end at standard error.
TEST(TraceCapture, SurvivesDestructionOutOfOrder) {
    StderrToFile err;
    auto first = std::make_unique<trace::Capture>();
    auto second = std::make_unique<trace::Capture>();
    auto third = std::make_unique<trace::Capture>();

    second.reset();  // from the middle
    Trace("a");
    EXPECT_EQ(Texts(*third), Strings{"a"});

    third.reset();  // the top; the one below it is now `first`
    Trace("b");
    EXPECT_EQ(Texts(*first), Strings{"b"});

    first.reset();
    Trace("c");
    EXPECT_EQ(err.Finish(), "test 0 probe.cpp:1 Probe: c\n");
}

TEST(TraceCapture, KeepsEveryRecordFromConcurrentThreadsInEachThreadsOrder) {
    const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);  // the writing is tested here
    constexpr int kThreads = 8;
    constexpr int kEach = 400;
    trace::Capture capture;
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kEach; ++i) {
                    if (i % 2 == 0) {
                        dus_trc_log("w.cpp", t, "Worker", "mt", dus_trc_msg("%d:%d", t, i));
                    } else {
                        dus_sds_log("w.cpp", t, "Worker", "mt", dus_sds_fatal(t, i, "%d:%d", t, i));
                    }
                }
            });
        }
        // Readers run while the writers add.
        threads.emplace_back([&capture] {
            for (int i = 0; i < 200; ++i) (void)capture.Records().size();
        });
        for (std::thread& th : threads) th.join();
    }

    const std::vector<trace::Record> records = capture.Records();
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const trace::Record& r : records) {
        ASSERT_GE(r.line, 0);
        ASSERT_LT(r.line, kThreads);
        const int t = r.line;
        const int i = next[t]++;
        EXPECT_EQ(r.text, std::to_string(t) + ":" + std::to_string(i));
        EXPECT_EQ(r.fatal, i % 2 == 1);
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach) << "thread " << t;
    EXPECT_EQ(capture.FatalReports().size(), static_cast<std::size_t>(kThreads * kEach / 2));
}

TEST(TraceStderr, WritesOneLinePerRecordInTheDocumentedForm) {
    const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);  // the writing is tested here
    StderrToFile err;
    dus_trc_log("/x/y/session.cpp", 7, "Open", "ipc2", dus_trc_msg("opened %d", 3));
    dus_sds_log("auth.cpp", 42, "Login", "aai", dus_sds_fatal(3, 17, "no %s", "session"));
    dus_sds_log("auth.cpp", 43, "Login", "aai", dus_sds_fatal(3, -1, "negative code"));
    // A text that spans lines must not forge a second log line.
    dus_trc_log("a.cpp", 1, "F", "c", dus_trc_msg("first\nc 0 forged.cpp:1 F: second\r"));
    // Nor a terminal escape, nor any other control character.
    dus_trc_log("a.cpp", 2, "F", "c", dus_trc_msg("client '%s'", "\x1b[2J\x07x\x7f"));
    dus_trc_log(nullptr, 5, nullptr, nullptr, dus_trc_msg("nulls"));
    EXPECT_EQ(err.Finish(),
              "ipc2 0 session.cpp:7 Open: opened 3\n"
              "aai 17 auth.cpp:42 Login: no session\n"
              "aai -1 auth.cpp:43 Login: negative code\n"
              "c 0 a.cpp:1 F: first\\nc 0 forged.cpp:1 F: second\\r\n"
              "c 0 a.cpp:2 F: client '\\x1b[2J\\x07x\\x7f'\n"
              "? 0 ?:5 ?: nulls\n");
}

TEST(TraceStderr, LinesFromConcurrentThreadsDoNotInterleave) {
    constexpr int kThreads = 6;
    constexpr int kEach = 300;
    StderrToFile err;
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                // Long enough that a writer emitting a line in pieces would be caught.
                const std::string filler(300, static_cast<char>('a' + t));
                for (int i = 0; i < kEach; ++i) {
                    dus_trc_log("w.cpp", i, "W", "mt", dus_trc_msg("%d %s", t, filler.c_str()));
                }
            });
        }
        for (std::thread& th : threads) th.join();
    }
    const std::string out = err.Finish();

    std::vector<int> count(kThreads, 0);
    std::size_t start = 0;
    int lines = 0;
    while (start < out.size()) {
        const std::size_t end = out.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "unterminated last line";
        const std::string line = out.substr(start, end - start);
        start = end + 1;
        ++lines;
        const std::size_t colon = line.find(": ");
        ASSERT_NE(colon, std::string::npos) << line;
        const int t = line[colon + 2] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(line, "mt 0 w.cpp:" + std::to_string(count[t]) + " W: " + std::to_string(t) + " " +
                            std::string(300, static_cast<char>('a' + t)));
        ++count[t];
    }
    EXPECT_EQ(lines, kThreads * kEach);
}

TEST(TraceLevel, ScopedLevelDecidesAndRestores) {
    struct Case {
        int configured;
        int asked;
        bool enabled;
    } cases[] = {
        {0, 1, false}, {0, 0, false}, {1, 1, true},  {1, 2, false}, {2, 2, true},
        {3, 2, true},  {3, 0, false}, {3, -1, false}, {INT_MAX, INT_MAX, true}, {-5, 1, false},
    };
    for (const Case& c : cases) {
        trace::ScopedLevel level(c.configured);
        EXPECT_EQ(trace_enabled(c.asked) != 0, c.enabled) << "level " << c.configured << ", asked " << c.asked;
    }

    trace::ScopedLevel outer(3);
    {
        trace::ScopedLevel inner(1);
        EXPECT_EQ(trace_enabled(2), 0);
        EXPECT_NE(trace_enabled(1), 0);
    }
    EXPECT_NE(trace_enabled(3), 0);
    EXPECT_EQ(trace_enabled(4), 0);
}

// The environment is read once per process, so each value is tried in a process of its own.
TEST(TraceLevel, ComesFromTheEnvironment) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* value;  // null: unset
        int mask;           // enabled at 1, 3, 4, INT_MAX: bits 0..3
    } cases[] = {
        {nullptr, 0}, {"0", 0}, {"1", 1}, {"3", 3}, {"4", 7}, {"", 0}, {"abc", 0},
        {"3x", 0},    {"-2", 0}, {" 3", 0}, {"99999999999999999999", 15},
    };
    for (const Case& c : cases) {
        if (c.value != nullptr) {
            setenv("ZEL_TRACE_LEVEL", c.value, 1);
        } else {
            unsetenv("ZEL_TRACE_LEVEL");
        }
        EXPECT_EXIT(std::_Exit((trace_enabled(1) ? 1 : 0) | (trace_enabled(3) ? 2 : 0) |
                               (trace_enabled(4) ? 4 : 0) | (trace_enabled(INT_MAX) ? 8 : 0)),
                    ::testing::ExitedWithCode(c.mask), "")
            << "ZEL_TRACE_LEVEL=" << (c.value != nullptr ? c.value : "(unset)");
    }
    unsetenv("ZEL_TRACE_LEVEL");
}

// After writing, each policy acts: throw carries the report; return lets the caller go on; abort
// ends the process. The report reaches the capture (or standard error) first in every case.
TEST(TraceFatal, EachPolicyActsOnceTheReportIsWritten) {
    {
        trace::Capture capture;
        const trace::ScopedFatalPolicy throwing(trace::FatalPolicy::Throw);
        try {
            dus_sds_log("/src/t.cpp", 7, "ns::F", "comp", dus_sds_fatal(3, 17, "no %s", "session"));
            ADD_FAILURE() << "returned under the throwing policy";
        } catch (const trace::FatalError& e) {
            EXPECT_STREQ(e.what(), "no session");
            EXPECT_EQ(e.Category(), 3);
            EXPECT_EQ(e.Code(), 17);
            EXPECT_EQ(e.Function(), "ns::F");
            EXPECT_EQ(e.Component(), "comp");
        }
        ASSERT_EQ(capture.FatalReports().size(), 1u);
        EXPECT_EQ(capture.FatalReports()[0].text, "no session");
    }
    {
        trace::Capture capture;
        const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);
        dus_sds_log("r.cpp", 1, "F", "c", dus_sds_fatal(1, 2, "still here"));
        ASSERT_EQ(capture.FatalReports().size(), 1u);
        EXPECT_EQ(capture.FatalReports()[0].text, "still here");
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            trace::SetFatalPolicy(trace::FatalPolicy::Abort);
            dus_sds_log("/src/aai/auth.cpp", 42, "Login", "aai", dus_sds_fatal(3, 17, "no %s", "session"));
        },
        "aai 17 auth\\.cpp:42 Login: no session");
}

// Where nothing may be thrown (destructors, noexcept paths), a report is written and the caller
// goes on, whatever the policy but abort.
TEST(TraceFatal, LogFatalWritesAndNeverThrows) {
    trace::Capture capture;
    for (trace::FatalPolicy policy : {trace::FatalPolicy::Throw, trace::FatalPolicy::Return}) {
        const trace::ScopedFatalPolicy scoped(policy);
        EXPECT_NO_THROW(trace::LogFatal("d.cpp", 3, "Dtor", "c", dus_sds_fatal(1, 1, "in a destructor")));
    }
    EXPECT_EQ(capture.FatalReports().size(), 2u);
}

TEST(TraceFatal, ScopedPolicyRestoresThePreviousOne) {
    const trace::FatalPolicy before = trace::GetFatalPolicy();
    {
        const trace::ScopedFatalPolicy outer(trace::FatalPolicy::Return);
        {
            const trace::ScopedFatalPolicy inner(trace::FatalPolicy::Abort);
            EXPECT_EQ(trace::GetFatalPolicy(), trace::FatalPolicy::Abort);
        }
        EXPECT_EQ(trace::GetFatalPolicy(), trace::FatalPolicy::Return);
    }
    EXPECT_EQ(trace::GetFatalPolicy(), before);
}

// Read once, at the first report: ZEL_FATAL_POLICY, or the older ZEL_FATAL_ABORT=1; throwing when
// neither says otherwise. Each case runs in a child process of its own, where it is the first read.
TEST(TraceFatal, EnvironmentChoosesTheDefault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    enum Acts { kThrows = 1, kReturns = 2, kAborts = 3 };
    struct Case {
        const char* policy;  // null: unset
        const char* abort;   // ZEL_FATAL_ABORT; null: unset
        Acts acts;
    } cases[] = {
        {nullptr, nullptr, kThrows}, {"throw", nullptr, kThrows}, {"return", nullptr, kReturns},
        {"abort", nullptr, kAborts}, {"bogus", nullptr, kThrows}, {"", nullptr, kThrows},
        {nullptr, "1", kAborts},     {nullptr, "0", kThrows},     {"return", "1", kAborts},
    };
    for (const Case& c : cases) {
        const std::string shown = std::string("ZEL_FATAL_POLICY=") + (c.policy ? c.policy : "(unset)") +
                                  " ZEL_FATAL_ABORT=" + (c.abort ? c.abort : "(unset)");
        c.policy ? setenv("ZEL_FATAL_POLICY", c.policy, 1) : unsetenv("ZEL_FATAL_POLICY");
        c.abort ? setenv("ZEL_FATAL_ABORT", c.abort, 1) : unsetenv("ZEL_FATAL_ABORT");
        const auto report = [] {
            try {
                dus_sds_log("e.cpp", 2, "G", "env", dus_sds_fatal(0, 5, "stop"));
            } catch (const trace::FatalError&) {
                std::_Exit(kThrows);
            }
            std::_Exit(kReturns);
        };
        if (c.acts == kAborts) {
            EXPECT_DEATH(report(), "env 5 e\\.cpp:2 G: stop") << shown;
        } else {
            EXPECT_EXIT(report(), ::testing::ExitedWithCode(c.acts), "env 5 e\\.cpp:2 G: stop") << shown;
        }
    }
    unsetenv("ZEL_FATAL_POLICY");
    unsetenv("ZEL_FATAL_ABORT");

    // The program's own choice outranks the environment.
    setenv("ZEL_FATAL_POLICY", "abort", 1);
    EXPECT_EXIT(
        {
            trace::SetFatalPolicy(trace::FatalPolicy::Return);
            dus_sds_log("e.cpp", 3, "G", "env", dus_sds_fatal(0, 6, "overridden"));
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "overridden");
    unsetenv("ZEL_FATAL_POLICY");
}
