// Reading trace files that people send: every malformed line is named with
// its number and reason, and a trace cut at any byte reads up to the cut.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "bccmd/bccmd.h"
#include "fake_fixture.h"
#include "trace_test_support.h"

namespace {

const std::string HEADER = R"({"event":"header","format":1,"program":"marrowlink 1.1.0"})";
const std::string OPEN = R"({"t_us":0,"event":"open","port":"/dev/ttyUSB0"})";

struct BadTrace {
    const char* name;
    std::string text;
    std::size_t line;     // 0: read whole
    const char* reason;   // part of the reason
    bool cut;
    std::size_t events;   // read before the problem
};

TEST(TraceRead, EachProblemIsNamedWithItsLine)
{
    const std::vector<BadTrace> table = {
        {"whole", HEADER + "\n" + OPEN + "\n", 0, "", false, 1},
        {"whole, Windows line ends", HEADER + "\r\n" + OPEN + "\r\n", 0, "", false, 1},
        {"empty file", "", 1, "empty file", false, 0},
        {"no header", OPEN + "\n", 1, "not a trace header", false, 0},
        {"no header after a blank line", "\n" + OPEN + "\n", 2, "not a trace header", false, 0},
        {"header after a blank line", "\n" + HEADER + "\n" + OPEN + "\n", 0, "", false, 1},
        {"not JSON in the middle", HEADER + "\n" + OPEN + "\n{\"t_us\":\n" + OPEN + "\n", 3, "not JSON", false, 1},
        {"cut last line", HEADER + "\n" + OPEN + "\n{\"t_us\":5,\"ev", 3, "cut off", true, 1},
        {"not an object", HEADER + "\n[1,2]\n", 2, "not a JSON object", false, 0},
        {"no event name", HEADER + "\n{\"t_us\":1}\n", 2, "no \"event\"", false, 0},
        {"no time", HEADER + "\n{\"event\":\"open\"}\n", 2, "no \"t_us\"", false, 0},
        {"negative time", HEADER + "\n{\"t_us\":-1,\"event\":\"open\"}\n", 2, "no \"t_us\"", false, 0},
        {"time backwards", HEADER + "\n{\"t_us\":9,\"event\":\"open\"}\n{\"t_us\":8,\"event\":\"close\"}\n", 3,
         "backwards", false, 1},
        {"bytes not hex", HEADER + "\n{\"t_us\":1,\"event\":\"read\",\"bytes\":\"0g\"}\n", 2, "not hex", false, 0},
        {"odd hex", HEADER + "\n{\"t_us\":1,\"event\":\"read\",\"bytes\":\"abc\"}\n", 2, "not hex", false, 0},
        {"decoded not a list", HEADER + "\n{\"t_us\":1,\"event\":\"read\",\"decoded\":{}}\n", 2, "not a list", false, 0},
        {"unit without kind", HEADER + "\n{\"t_us\":1,\"event\":\"read\",\"decoded\":[{\"x\":1}]}\n", 2, "without \"kind\"",
         false, 0},
        {"unit bytes not hex", HEADER + "\n{\"t_us\":1,\"event\":\"read\",\"decoded\":[{\"kind\":\"x\",\"bytes\":7}]}\n", 2,
         "not hex", false, 0},
        // Fields the timeline, the picture and the simulator read, of another type
        // in a hand-edited trace: refused here, never thrown at later.
        {"event flag of another type", HEADER + "\n{\"t_us\":1,\"event\":\"close\",\"ok\":\"no\"}\n", 2,
         "\"ok\" is not true or false", false, 0},
        {"event number of another type", HEADER + "\n{\"t_us\":1,\"event\":\"modem\",\"level\":\"1\"}\n", 2,
         "\"level\" is not a whole number from 0 to 1", false, 0},
        // Numbers out of the range of what reads them (found by fuzzing: 3e46 became an int).
        {"level far out of range", HEADER + "\n{\"t_us\":1,\"event\":\"modem\",\"line\":\"dtr\",\"level\":3e46}\n", 2,
         "\"level\" is not a whole number from 0 to 1", false, 0},
        {"level a fraction", HEADER + "\n{\"t_us\":1,\"event\":\"modem\",\"level\":0.5}\n", 2, "\"level\" is not", false, 0},
        {"time-out negative", HEADER + "\n{\"t_us\":1,\"event\":\"timeouts\",\"read_interval_ms\":-1}\n", 2,
         "\"read_interval_ms\" is not a whole number from 0 to 4294967295", false, 0},
        {"time-out past 32 bits", HEADER + "\n{\"t_us\":1,\"event\":\"timeouts\",\"read_constant_ms\":4294967296}\n", 2,
         "\"read_constant_ms\" is not", false, 0},
        {"time-out at its largest", HEADER + "\n{\"t_us\":1,\"event\":\"timeouts\",\"read_interval_ms\":4294967295}\n", 0,
         "", false, 1},
        {"channel out of range", HEADER + "\n{\"t_us\":1,\"event\":\"read\",\"decoded\":[{\"kind\":\"bcsp\",\"channel\":1e300}]}\n",
         2, "a decoded unit's \"channel\" is not a whole number from 0 to 15", false, 0},
        {"store word past 16 bits", HEADER + "\n{\"t_us\":1,\"event\":\"read\",\"decoded\":[{\"kind\":\"bcsp\",\"bccmd\":{\"ps\":{\"words\":[1,65536]}}}]}\n",
         2, "\"words\" are not all whole numbers from 0 to 65535", false, 0},
        {"nested deeper than the limit", HEADER + "\n" + std::string(TRACE_JSON_DEPTH_MAX + 1, '[') +
                                             std::string(TRACE_JSON_DEPTH_MAX + 1, ']') + "\n",
         2, "nested deeper than 16 levels", false, 0},
        {"brackets inside a text are no nesting", HEADER + "\n{\"t_us\":1,\"event\":\"x\",\"note\":\"" +
                                                      std::string(TRACE_JSON_DEPTH_MAX + 1, '[') + "\\\"{\"}\n",
         0, "", false, 1},
        {"unit flag of another type", HEADER + "\n{\"t_us\":1,\"event\":\"read\",\"decoded\":[{\"kind\":\"pnp\",\"complete\":\"yes\"}]}\n",
         2, "a decoded unit's \"complete\" is not true or false", false, 0},
        {"unit text of another type", HEADER + "\n{\"t_us\":1,\"event\":\"read\",\"decoded\":[{\"kind\":\"bcsp\",\"check\":5}]}\n",
         2, "\"check\" is not text", false, 0},
        {"unit payload not hex", HEADER + "\n{\"t_us\":1,\"event\":\"read\",\"decoded\":[{\"kind\":\"bcsp\",\"payload\":\"0W\"}]}\n",
         2, "\"payload\" is not hex", false, 0},
        {"BCCMD message not an object", HEADER + "\n{\"t_us\":1,\"event\":\"read\",\"decoded\":[{\"kind\":\"bcsp\",\"bccmd\":[]}]}\n",
         2, "\"bccmd\" is not an object", false, 0},
        {"store words not a list", HEADER + "\n{\"t_us\":1,\"event\":\"read\",\"decoded\":[{\"kind\":\"bcsp\",\"bccmd\":{\"ps\":{\"words\":3}}}]}\n",
         2, "a persistent-store key's \"words\" is not a list", false, 0},
        {"line too long", HEADER + "\n{\"t_us\":1,\"event\":\"" + std::string(TRACE_LINE_MAX_BYTES, 'x') + "\"}\n", 2,
         "line longer than 1048576 bytes", false, 0},
        {"line just within the limit", HEADER + "\n{\"t_us\":1,\"event\":\"" +
                                           std::string(TRACE_LINE_MAX_BYTES - 25, 'x') + "\"}\n", 0, "", false, 1},
    };
    for (const BadTrace& t : table) {
        std::istringstream input(t.text);
        const TraceFile trace = trace_read(input);
        EXPECT_EQ(trace.problem_line, t.line) << t.name << ": " << trace.problem;
        EXPECT_NE(trace.problem.find(t.reason), std::string::npos) << t.name << ": " << trace.problem;
        EXPECT_EQ(trace.cut, t.cut) << t.name;
        EXPECT_EQ(trace.events.size(), t.events) << t.name;
        if (t.line != 0) {
            EXPECT_EQ(trace_problem_text(trace), "line " + std::to_string(t.line) + ": " + trace.problem) << t.name;
        }
    }
}

// A header, then a line four times the limit, made as it is read: the reader
// gives up at the limit, having taken no more than that from the input.
class LongLine : public std::streambuf {
public:
    explicit LongLine(std::string start) : start_(std::move(start)) {}
    std::size_t taken = 0;

protected:
    int_type underflow() override
    {
        if (taken < start_.size()) {
            return traits_type::to_int_type(start_[taken]);
        }
        return taken < start_.size() + 4 * TRACE_LINE_MAX_BYTES ? traits_type::to_int_type('x') : traits_type::eof();
    }
    int_type uflow() override
    {
        const int_type c = underflow();
        ++taken;
        return c;
    }

private:
    std::string start_;
};

TEST(TraceRead, ALongLineIsRefusedAtTheLimitWithoutReadingOn)
{
    LongLine long_line(HEADER + "\n");
    std::istream input(&long_line);
    const TraceFile trace = trace_read(input);
    EXPECT_EQ(trace_problem_text(trace), "line 2: line longer than " + std::to_string(TRACE_LINE_MAX_BYTES) + " bytes");
    EXPECT_LE(long_line.taken, HEADER.size() + 1 + TRACE_LINE_MAX_BYTES + 1);
}

class TraceCutTest : public TraceFakeTest {};

// A run that dies leaves its trace cut anywhere: every cut reads the events
// wholly written before it, and names the cut line when it falls inside one.
TEST_F(TraceCutTest, ATraceCutAtAnyByteReadsUpToTheCut)
{
    {
        TraceTestRecording recording(path);
        ASSERT_EQ(trace_test_contact(trace_test_adapter()), 1);
    }
    std::ifstream file(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(text.size(), 1000u);
    // Every byte around each line end, and every CUT_STRIDE-th byte in between.
    constexpr std::size_t CUT_STRIDE = 7;
    std::vector<std::size_t> cuts;
    for (std::size_t at = 1; at <= text.size(); ++at) {
        const bool near_line_end = text[at - 1] == '\n' || (at < text.size() && text[at] == '\n') ||
                                   (at + 1 < text.size() && text[at + 1] == '\n');
        if (near_line_end || at % CUT_STRIDE == 0) {
            cuts.push_back(at);
        }
    }
    for (const std::size_t cut : cuts) {
        const std::string kept = text.substr(0, cut);
        std::size_t whole_lines = 0;   // lines whose object is complete (with or without the newline)
        std::size_t position = 0;
        while (position < kept.size()) {
            const std::size_t end = text.find('\n', position);
            if (end > kept.size()) {
                break;
            }
            ++whole_lines;
            position = end + 1;
        }
        std::istringstream input(kept);
        const TraceFile trace = trace_read(input);
        const std::size_t events = whole_lines > 0 ? whole_lines - 1 : 0;
        ASSERT_EQ(trace.events.size(), events) << "cut at byte " << cut;
        if (position < kept.size()) {
            ASSERT_TRUE(trace.cut) << "cut at byte " << cut << ": " << trace.problem;
            ASSERT_EQ(trace.problem_line, whole_lines + 1) << "cut at byte " << cut;
        } else {
            ASSERT_EQ(trace.problem_line, 0u) << "cut at byte " << cut << ": " << trace.problem;
        }
    }
}

}  // namespace
